// uploader-cli: the command-line uploader. Updates one or many units from one event loop.
#include "BuildInfo.h"

#include "cli/ConsoleOutput.h"
#include "cli/InterruptWatcher.h"
#include "cli/JsonEventWriter.h"
#include "cli/OpenFileLimit.h"
#include "cli/Options.h"
#include "cli/PlainDisplay.h"
#include "cli/TerminalDisplay.h"
#include "cli/UpdateRunner.h"
#include "engine/FirmwareCheck.h"
#include "settings/ProductVariant.h"

#include <QCoreApplication>

#include <chrono>
#include <cmath>
#include <csignal>
#include <functional>
#include <memory>

#include <unistd.h>

namespace {

constexpr int ExitUsage = 2;
constexpr int ExitCheckFailed = 3;

std::chrono::milliseconds milliseconds(double seconds)
{
    return std::chrono::milliseconds(qint64(std::ceil(seconds * 1000.0)));
}

UpdateRequest requestFor(const Options& options)
{
    UpdateRequest request;
    request.firmwarePath = options.firmwarePath;
    request.product = options.product;
    request.buildTitle = QString::fromUtf8(BuildInfo::Title);
    request.debug = options.verbose;
    request.slow = options.slow;
    request.timings.connectLimit = milliseconds(options.connectTimeoutSeconds);
    request.timings.recordReplyTimeout = milliseconds(options.replyTimeoutSeconds);
    // The product code may wait for the unit to erase its flash: never less than the default.
    request.timings.productCodeReplyTimeout =
        std::max(UpdateTimings::ProductCodeReplyTimeout, request.timings.recordReplyTimeout);
    request.timings.scale = options.timeScale;
    request.expectedSha256 = options.expectedSha256;
    // Nobody is at hand to decide about a stalled update: it ends as the reply it stalled on.
    request.stalledHold = std::chrono::milliseconds(0);
    return request;
}

// Prints the summary of a good file; for a bad one the problem goes to standard error.
bool checkFirmware(const QString& path, const QString& expectedSha256, bool printSummary)
{
    const FirmwareCheckResult result = FirmwareCheck::checkFile(path, expectedSha256);
    if (!result.ok()) {
        if (result.kind == FirmwareCheckResult::Kind::Unreadable)
            ConsoleOutput::error(QStringLiteral("cannot read %1: %2").arg(path, result.problem));
        else
            ConsoleOutput::error(QStringLiteral("%1: %2").arg(path, result.problem));
        return false;
    }
    if (printSummary)
        ConsoleOutput::out(result.logLines().join(u'\n') + u'\n');
    return true;
}

int parallelWithinOpenFileLimit(const Options& options)
{
    const int wanted = options.parallel > 0 ? std::min(options.parallel, int(options.units.size()))
                                            : int(options.units.size());
    long limit = 0;
    const int allowed = OpenFileLimit::unitsAtOnce(&limit);
    if (wanted <= allowed)
        return options.parallel;
    ConsoleOutput::warn(
        QStringLiteral("the open-file limit (%1) allows %2 units at once; updating at most %2 "
                       "at a time instead of %3")
            .arg(limit)
            .arg(allowed)
            .arg(wanted));
    return allowed;
}

int update(QCoreApplication& app, const Options& options)
{
    UpdateRunner::Plan plan;
    plan.units = options.units;
    plan.request = requestFor(options);
    plan.parallel = parallelWithinOpenFileLimit(options);
    plan.repeat = options.repeat;
    plan.keepGoing = options.keepGoing;
    UpdateRunner runner(std::move(plan));

    std::function<void()> writeSummary;
    std::function<void()> clearForMessage = [] {};
    std::unique_ptr<QObject> display;
    if (options.json) {
        auto* json = new JsonEventWriter(runner, options.verbose);
        writeSummary = [json] { json->writeSummary(); };
        display.reset(json);
    } else if (::isatty(STDOUT_FILENO)) {
        auto* terminal = new TerminalDisplay(runner, options.verbose);
        writeSummary = [terminal] { terminal->writeSummary(); };
        clearForMessage = [terminal] { terminal->clearLiveLines(); };
        display.reset(terminal);
    } else {
        auto* plain = new PlainDisplay(runner, options.verbose);
        writeSummary = [plain] { plain->writeSummary(); };
        display.reset(plain);
    }

    InterruptWatcher interrupts;
    if (!interrupts.isActive())
        ConsoleOutput::warn(QStringLiteral("cannot catch interrupts: ") + interrupts.errorString());
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &runner, [&](int) {
        if (!runner.interrupted()) {
            clearForMessage();
            ConsoleOutput::error(QStringLiteral("interrupted: every update stopped, connections closed"));
        }
        runner.interrupt();
    });
    QObject::connect(&runner, &UpdateRunner::allFinished, &app, [&] {
        writeSummary();
        app.exit(runner.exitCode());
    });
    runner.start();
    return app.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("uploader-cli"));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(BuildInfo::Version));
    // A reader that goes away (| head) must not kill the updates under way with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    const QString title = QString::fromUtf8(BuildInfo::Title);
    const ProductVariant* buildProduct = ProductVariants::forTitle(title);
#ifdef UPLOADER_CLI_TESTING
    const OptionsParser parser(buildProduct, title, OptionsParser::Features::Testing);
#else
    const OptionsParser parser(buildProduct, title);
#endif
    Options options;
    QString error;
    if (!parser.parse(app.arguments(), &options, &error)) {
        if (error.endsWith(u'.'))
            error.chop(1);
        ConsoleOutput::error(error + QStringLiteral(" (see uploader-cli --help)"));
        return ExitUsage;
    }
    switch (options.action) {
    case Options::Action::Help:
        ConsoleOutput::out(OptionsParser::helpText(buildProduct));
        return 0;
    case Options::Action::Version:
        ConsoleOutput::out(
            QStringLiteral("uploader-cli %1 (%2)\n").arg(QString::fromUtf8(BuildInfo::Version), title));
        return 0;
    case Options::Action::Check:
        return checkFirmware(options.firmwarePath, options.expectedSha256, true) ? 0 : ExitCheckFailed;
    case Options::Action::Update:
        break;
    }
    for (const QString& warning : std::as_const(options.warnings))
        ConsoleOutput::warn(warning);
    // Nothing goes to any unit unless the whole file is sound.
    if (!checkFirmware(options.firmwarePath, options.expectedSha256, !options.json))
        return ExitCheckFailed;
    return update(app, options);
}
