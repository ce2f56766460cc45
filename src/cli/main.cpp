// uploader-cli: the command-line uploader. Updates one or many units from one event loop.
#include "BuildInfo.h"

#include "cli/HistoryCommand.h"
#include "cli/JsonEventWriter.h"
#include "cli/Options.h"
#include "cli/PlainDisplay.h"
#include "cli/TerminalDisplay.h"
#include "cli/UpdateLogFiles.h"
#include "cli/WatchRun.h"
#include "engine/FirmwareCheck.h"
#include "engine/FirmwareSignatureCheck.h"
#include "fleet/FailedUnits.h"
#include "fleet/RunId.h"
#include "fleet/RunRecorder.h"
#include "fleet/UpdateRunner.h"
#include "history/HistoryReader.h"
#include "history/UpdateHistory.h"
#include "process/ConsoleOutput.h"
#include "process/InterruptWatcher.h"
#include "process/QtDiagnostics.h"
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
// How long the end of a run waits for the history to write its last rows.
constexpr int HistoryCloseTimeoutMs = 5000;

std::chrono::milliseconds milliseconds(double seconds)
{
    return std::chrono::milliseconds(qint64(std::ceil(seconds * 1000.0)));
}

UpdateRequest requestFor(const Options& options)
{
    UpdateRequest request;
    request.firmwarePath = options.firmwarePath;
    request.product = options.product;
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

// With --allowed-signers, the signature of the checked file: its signer, or empty after the
// reason went to standard error.
QString verifySignature(QCoreApplication& app, const Options& options, const QString& checkedSha256)
{
    const QString signaturePath = options.signaturePath.isEmpty()
                                      ? FirmwareSignatureCheck::signatureBeside(options.firmwarePath)
                                      : options.signaturePath;
    FirmwareSignatureCheck check(options.firmwarePath, signaturePath, checkedSha256,
                                 {options.allowedSigners, options.revokedKeys});
    SignatureVerdict verdict;
    QObject::connect(&check, &FirmwareSignatureCheck::finished, &app, [&](const SignatureVerdict& result) {
        verdict = result;
        app.exit(0);
    });
    check.start();
    app.exec();
    if (!verdict.ok())
        ConsoleOutput::error(QStringLiteral("%1: %2").arg(options.firmwarePath, verdict.reason));
    return verdict.ok() ? verdict.signer : QString();
}

// Prints the summary of a good file; for a bad one the problem goes to standard error. With
// --allowed-signers the file must also be signed by one of them: *signer names who, and *sha256
// holds what the signature covers.
bool checkFirmware(QCoreApplication& app, const Options& options, bool printSummary, QString* signer,
                   QString* sha256)
{
    const QString& path = options.firmwarePath;
    const FirmwareCheckResult result = FirmwareCheck::checkFile(path, options.expectedSha256);
    if (!result.ok()) {
        if (result.kind == FirmwareCheckResult::Kind::Unreadable)
            ConsoleOutput::error(QStringLiteral("cannot read %1: %2").arg(path, result.problem));
        else
            ConsoleOutput::error(QStringLiteral("%1: %2").arg(path, result.problem));
        return false;
    }
    QStringList lines = result.logLines();
    if (!options.allowedSigners.isEmpty()) {
        *signer = verifySignature(app, options, result.sha256);
        if (signer->isEmpty())
            return false;
        lines << QStringLiteral("Signed by: ") + *signer;
        *sha256 = result.sha256;
    }
    if (printSummary)
        ConsoleOutput::out(lines.join(u'\n') + u'\n');
    return true;
}

std::unique_ptr<RunDisplay> displayFor(const UpdateRunner& runner, const Options& options)
{
    if (options.json)
        return std::make_unique<JsonEventWriter>(runner, options.verbose);
    if (::isatty(STDOUT_FILENO))
        return std::make_unique<TerminalDisplay>(runner, options.verbose);
    return std::make_unique<PlainDisplay>(runner, options.verbose);
}

// --failed-from: the run's units that failed, read from the history; false when there is nothing
// to update, with *exitCode set.
bool readFailedUnits(Options* options, int* exitCode)
{
    HistoryFilter filter;
    filter.runId = options->failedFrom;
    filter.limit = 0;
    const HistoryRows read = HistoryReader::list(HistoryLocation::resolve(options->historyLocation), filter);
    if (!read.error.ok() && read.rows.isEmpty()) {
        ConsoleOutput::error(read.error.message);
        *exitCode = ExitUsage;
        return false;
    }
    const FailedUnits failed = FailedUnits::of(read.rows);
    if (failed.unitsInRun == 0) {
        ConsoleOutput::error(
            QStringLiteral("run %1: no update of it in the history at %2")
                .arg(options->failedFrom, HistoryLocation::resolve(options->historyLocation).display()));
        *exitCode = ExitUsage;
        return false;
    }
    if (failed.units.isEmpty()) {
        ConsoleOutput::out(QStringLiteral("run %1: every unit (%2) was updated; nothing to do\n")
                               .arg(options->failedFrom)
                               .arg(failed.unitsInRun));
        *exitCode = 0;
        return false;
    }
    options->units = failed.units;
    if (options->lot.isEmpty())
        options->lot = failed.lot;
    return true;
}

int update(QCoreApplication& app, const Options& options, const QString& signer, const QString& signedSha256)
{
    UpdateRunner::Plan plan;
    plan.signer = signer;
    plan.units = options.units;
    plan.request = requestFor(options);
    // Each update reads the file again: it must be the signed bytes, or it ends file-changed.
    if (!signedSha256.isEmpty())
        plan.request.expectedSha256 = signedSha256;
    plan.parallel = options.parallel;
    plan.repeat = options.repeat;
    plan.keepGoing = options.keepGoing;
    plan.lot = options.lot;
    plan.retries = options.retries;
    const QString runId = RunId::make();
    UpdateRunner runner(std::move(plan));
    if (const auto& clamp = runner.openFileClamp()) {
        ConsoleOutput::warn(
            QStringLiteral("the open-file limit (%1) allows %2 units at once; updating at most %2 "
                           "at a time instead of %3")
                .arg(clamp->limit)
                .arg(clamp->allowed)
                .arg(clamp->wanted));
    }

    const std::unique_ptr<RunDisplay> display = displayFor(runner, options);
    display->setRunId(runId);
    // Recording never decides an update: trouble is a warning, and the updates run as they would.
    const auto warn = [&display](const QString& message) { display->warn(message); };
    UpdateHistory history;
    std::unique_ptr<RunRecorder> recorder;
    if (!options.noHistory) {
        QObject::connect(&history, &UpdateHistory::warning, &history, warn);
        history.open(HistoryLocation::resolve(options.historyLocation));
        // Before the display: an update is on record by the time it is shown as finished.
        recorder =
            std::make_unique<RunRecorder>(runner, UpdateRecorder(&history, QStringLiteral("cli")), runId);
        runner.addObserver(recorder.get());
    }
    runner.addObserver(display.get());
    std::unique_ptr<UpdateLogFiles> logFiles;
    if (!options.logDir.isEmpty()) {
        logFiles = std::make_unique<UpdateLogFiles>(runner, options.logDir, options.verbose);
        QObject::connect(logFiles.get(), &UpdateLogFiles::failed, logFiles.get(), warn);
        runner.addObserver(logFiles.get());
    }

    InterruptWatcher interrupts;
    if (!interrupts.isActive())
        ConsoleOutput::warn(QStringLiteral("cannot catch interrupts: ") + interrupts.errorString());
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &runner, [&](int) {
        if (!runner.interrupted()) {
            display->clearForMessage();
            ConsoleOutput::error(QStringLiteral("interrupted: every update stopped, connections closed"));
        }
        runner.interrupt();
    });
    QObject::connect(&runner, &UpdateRunner::allFinished, &app, [&] {
        // Before the summary, which is the last line: closing may still warn.
        history.close(HistoryCloseTimeoutMs);
        if (const qint64 waiting = history.waitingAtClose(); waiting > 0)
            warn(
                QStringLiteral("%1 recorded on this computer, not yet in the history at %2; %3 sent the next "
                               "time a program here opens it, or with uploader-cli history --forward")
                    .arg(waiting == 1 ? QStringLiteral("1 update")
                                      : QStringLiteral("%1 updates").arg(waiting),
                         history.location().display(),
                         waiting == 1 ? QStringLiteral("it is") : QStringLiteral("they are")));
        display->writeSummary();
        app.exit(runner.exitCode());
    });
    runner.start();
    return app.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    QtDiagnostics::keepOffStandardError();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("uploader-cli"));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(BuildInfo::Version));
    // A reader that goes away (| head) must not kill the updates under way with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    // "uploader-cli history ...": a firmware file of that name is given as ./history.
    if (app.arguments().size() > 1 && app.arguments().at(1) == QLatin1String("history")) {
        HistoryCommand command;
        QString error;
        if (!command.parse(app.arguments().mid(2), &error)) {
            if (error.endsWith(u'.'))
                error.chop(1);
            ConsoleOutput::error(error + QStringLiteral(" (see uploader-cli history --help)"));
            return ExitUsage;
        }
        return command.run();
    }

    const QString title = QString::fromUtf8(BuildInfo::Title);
    const ProductVariant* buildProduct = ProductVariants::forTitle(title);
#ifdef UPLOADER_CLI_TESTING
    const OptionsParser parser(buildProduct, title, OptionsParser::Features::Testing);
#else
    const OptionsParser parser(buildProduct, title);
#endif
    Options options;
    QString error;
    int exitCode = 0;
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
    case Options::Action::Check: {
        QString signer, sha256;
        return checkFirmware(app, options, true, &signer, &sha256) ? 0 : ExitCheckFailed;
    }
    case Options::Action::Update:
        break;
    }
    for (const QString& warning : std::as_const(options.warnings))
        ConsoleOutput::warn(warning);
    if (!options.logDir.isEmpty()) {
        QString error;
        if (!UpdateLogFiles::prepare(options.logDir, &error)) {
            ConsoleOutput::error(error + QStringLiteral(" (see uploader-cli --help)"));
            return ExitUsage;
        }
    }
    if (options.historyRequired) {
        const HistoryLocation location = HistoryLocation::resolve(options.historyLocation);
        const HistoryError problem =
            location.isValid() ? UpdateHistory::checkWritable(location)
                               : HistoryError{HistoryError::Unreachable,
                                              QStringLiteral("UPLOADER_HISTORY: ") + location.error()};
        if (!problem.ok()) {
            ConsoleOutput::error(problem.message + QStringLiteral(" Nothing was sent (--history-required)."));
            return ExitUsage;
        }
    }
    // Nothing goes to any unit unless the whole file is sound.
    QString signer, signedSha256;
    if (!checkFirmware(app, options, !options.json, &signer, &signedSha256))
        return ExitCheckFailed;
    if (!options.failedFrom.isEmpty() && !readFailedUnits(&options, &exitCode))
        return exitCode;
    if (options.watch) {
        UpdateRequest request = requestFor(options);
        if (!signedSha256.isEmpty())
            request.expectedSha256 = signedSha256;
        return WatchRun(options, request, signer).exec(app);
    }
    return update(app, options, signer, signedSha256);
}
