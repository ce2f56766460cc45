// uploader-station: the unattended update station. An HTTP API and a page to upload firmware files
// and update many units at once, on the engine's jobs, all on one event loop.
#include "BuildInfo.h"

#include "fleet/FixtureFile.h"
#include "process/ConsoleOutput.h"
#include "process/InterruptWatcher.h"
#include "process/QtDiagnostics.h"
#include "settings/ProductVariant.h"
#include "station/EventHub.h"
#include "station/FirmwareStore.h"
#include "station/HostCheck.h"
#include "station/HttpServer.h"
#include "station/RunRegistry.h"
#include "station/StationApi.h"
#include "station/StationAudit.h"
#include "station/StationFixtures.h"
#include "station/StationHistory.h"
#include "station/StationMetrics.h"
#include "station/StationOptions.h"
#include "station/StationTokens.h"
#include "station/StoredSignatureCheck.h"
#include "station/SystemdNotifier.h"
#include "station/TokenCommand.h"
#include "station/TokenFile.h"
#include "station/Webhooks.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>
#include <QTimer>

#include <csignal>

#include <sys/stat.h>

namespace {

constexpr int ExitUsage = 2;
constexpr int ExitCannotStart = 1;

bool makeStateDir(const QString& dir, QString* error)
{
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create the state folder %1").arg(dir);
        return false;
    }
    // The token and the firmware are the owner's alone.
    if (::chmod(QFile::encodeName(dir).constData(), 0700) != 0) {
        *error = QStringLiteral("cannot restrict the state folder %1 to its owner").arg(dir);
        return false;
    }
    return true;
}

bool readPem(const QString& path, const QString& what, QByteArray* pem, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the TLS %1 %2: %3").arg(what, path, file.errorString());
        return false;
    }
    *pem = file.read(1024 * 1024);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QtDiagnostics::keepOffStandardError();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("uploader-station"));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(BuildInfo::Version));
    if (TokenCommand::isAsked(app.arguments().mid(1)))
        return TokenCommand::run(app.arguments().mid(1));
    // Run by systemd, standard error goes to the journal: each line says how grave it is.
    ConsoleOutput::setPriorityPrefixes(true);
    // A client that goes away mid-answer must not end the station.
    std::signal(SIGPIPE, SIG_IGN);

    const QString title = QString::fromUtf8(BuildInfo::Title);
    const ProductVariant* buildProduct = ProductVariants::forTitle(title);
    StationOptions options;
    QString error;
    if (!StationOptionsParser(buildProduct, title).parse(app.arguments(), &options, &error)) {
        ConsoleOutput::error(error + QStringLiteral(" (see uploader-station --help)"));
        return ExitUsage;
    }
    if (options.action == StationOptions::Action::Help) {
        ConsoleOutput::out(StationOptionsParser::helpText(buildProduct));
        return 0;
    }
    if (options.action == StationOptions::Action::Version) {
        ConsoleOutput::out(
            QStringLiteral("uploader-station %1 (%2)\n").arg(QString::fromUtf8(BuildInfo::Version), title));
        return 0;
    }

    QByteArray webhookSecret;
    if (!options.webhookSecretFile.isEmpty() &&
        !Webhooks::readSecret(options.webhookSecretFile, &webhookSecret, &error)) {
        ConsoleOutput::error(error);
        return ExitUsage;
    }

    QList<FixtureEntry> fixtureList;
    if (!options.fixturesFile.isEmpty() &&
        !FixtureFile::read(options.fixturesFile, options.product ? options.product->defaultPort : QString(),
                           &fixtureList, &error)) {
        ConsoleOutput::error(error);
        return ExitUsage;
    }

    // Before anyone can learn the address: a SIGTERM from then on ends the station cleanly.
    InterruptWatcher interrupts;
    if (!interrupts.isActive())
        ConsoleOutput::warn(QStringLiteral("cannot catch SIGTERM: ") + interrupts.errorString());

    QByteArray token;
    FirmwareStore store;
    QByteArray certificate;
    QByteArray key;
    if (!makeStateDir(options.stateDir, &error) ||
        !TokenFile::loadOrCreate(options.stateDir, &token, &error) || !store.open(options.stateDir, &error) ||
        (!options.tlsCertificate.isEmpty() &&
         (!readPem(options.tlsCertificate, QStringLiteral("certificate"), &certificate, &error) ||
          !readPem(options.tlsKey, QStringLiteral("key"), &key, &error)))) {
        ConsoleOutput::error(error);
        return ExitCannotStart;
    }

    // Before listening: a station that must record refuses to start without its history.
    const HistoryLocation historyLocation = options.historyLocation();
    if (options.historyRequired) {
        const HistoryError trouble = historyLocation.isValid()
                                         ? UpdateHistory::checkWritable(historyLocation)
                                         : HistoryError{HistoryError::Unreachable, historyLocation.error()};
        if (!trouble.ok()) {
            ConsoleOutput::error(trouble.message + QStringLiteral(" (--history-required)"));
            return ExitUsage;
        }
    }
    StationHistory history;
    QObject::connect(&history, &StationHistory::warning, &app,
                     [](const QString& message) { ConsoleOutput::warn(message); });
    history.open(historyLocation);

    Webhooks webhooks({options.webhooks, webhookSecret,
                       QDir(options.stateDir).filePath(QStringLiteral("webhooks.sqlite")),
                       options.timeScale});
    QObject::connect(&webhooks, &Webhooks::warning, &app,
                     [](const QString& message) { ConsoleOutput::warn(message); });
    webhooks.watchHistory(history.history());
    webhooks.start();

    UpdateRequest requestTemplate;
    requestTemplate.timings.scale = options.timeScale;
    EventHub hub;
    RunRegistry runs(store, hub, history.history(), requestTemplate);
    runs.setWebhooks(&webhooks);
    UpdateRequest fixtureTemplate = requestTemplate;
    fixtureTemplate.product = options.product;
    StationFixtures fixtures(fixtureList, qint64(options.fixtureGoneAfterSeconds) * 1000, store,
                             history.history(), fixtureTemplate);
    fixtures.setSignatureRequired(!options.allowedSigners.isEmpty());
    fixtures.setWebhooks(&webhooks);
    runs.setSignatureRequired(!options.allowedSigners.isEmpty());
    StoredSignatureCheck storedSignatures(store, {options.allowedSigners, options.revokedKeys});
    storedSignatures.start();
    StationMetrics metrics(runs, history, options.product);
    runs.setWatcher(&metrics);
    fixtures.setWatcher(&metrics);
    metrics.setFixtureStates([&fixtures] { return fixtures.stateCounts(); });
    metrics.setWebhookWaiting([&webhooks] { return webhooks.waiting(); });

    // Before the server, so that an exchange it ends as it goes is still audited.
    StationTokens tokens(options.stateDir, token);
    QObject::connect(&tokens, &StationTokens::warning, &app,
                     [](const QString& message) { ConsoleOutput::warn(message); });
    StationAudit audit([&history](AuditEntry entry) { history.history().audit(std::move(entry)); });
    std::unique_ptr<StationApi> api;
    HttpServer server([&api](HttpExchange& exchange) { api->handle(exchange); });
    QObject::connect(&server, &HttpServer::answered, &app,
                     [&metrics](int status) { metrics.countResponse(status); });
    if (!server.listen(options.address, options.port, options.limits, certificate, key, &error)) {
        ConsoleOutput::error(error);
        return ExitCannotStart;
    }
    StationApi::Settings settings;
    settings.tokens = &tokens;
    settings.audit = &audit;
    settings.tokenForReads = !options.address.isLoopback();
    settings.maxFirmwareSize = options.maxFirmwareSize;
    settings.defaultProduct = options.product;
    settings.trust = {options.allowedSigners, options.revokedKeys};
    settings.historyRequired = options.historyRequired;
    api = std::make_unique<StationApi>(
        settings, HostCheck(options.listenHost, options.address, server.port(), options.serverNames), store,
        runs, hub, history, fixtures, metrics);
    api->setWebhooks(&webhooks);

    const QString host = options.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? u'[' + options.address.toString() + u']'
                             : options.address.toString();
    const QString url =
        QStringLiteral("%1://%2:%3")
            .arg(certificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"), host)
            .arg(server.port());
    QSaveFile listening(QDir(options.stateDir).filePath(QStringLiteral("listening")));
    if (listening.open(QIODevice::WriteOnly))
        listening.write(url.toUtf8() + '\n');
    listening.commit();
    ConsoleOutput::out(url + u'\n');
    ConsoleOutput::info(QStringLiteral("listening on %1; state in %2; history in %3")
                            .arg(url, options.stateDir, historyLocation.display()));
    SystemdNotifier systemd([&metrics, &fixtures] {
        const int units = metrics.unitsUpdating();
        QString status =
            units == 1 ? QStringLiteral("1 unit updating") : QStringLiteral("%1 units updating").arg(units);
        int watched = 0;
        for (const Fixture* fixture : fixtures.fixtures())
            watched += fixture->watched() ? 1 : 0;
        if (watched > 0)
            status += QStringLiteral(", %1 fixtures watched").arg(watched);
        return status;
    });
    systemd.ready();

    bool stopping = false;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &app, [&](int) {
        if (stopping)
            return;
        stopping = true;
        api->setStopping();
        systemd.stopping();
        ConsoleOutput::info(QStringLiteral("stopping: every update interrupted, connections closed"));
        QObject::connect(
            &runs, &RunRegistry::idle, &app,
            [&] {
                // The streams get the runs' last events before the connections close (2 s at most).
                hub.closeAll();
                auto* drain = new QTimer(&app);
                QElapsedTimer waited;
                waited.start();
                QObject::connect(drain, &QTimer::timeout, &app, [&server, &app, drain, waited] {
                    if (server.openStreams() > 0 && waited.elapsed() < 2000)
                        return;
                    drain->stop();
                    server.close();
                    app.exit(0);
                });
                drain->start(10);
            },
            Qt::SingleShotConnection);
        // Watches end first: no fixture starts an update while the runs wind down.
        fixtures.stopAll();
        runs.cancelAll();
    });
    const int code = app.exec();
    QFile::remove(QDir(options.stateDir).filePath(QStringLiteral("listening")));
    // Every update has ended by now (interrupted ones too); their rows get a bounded time to be
    // written, and a history that takes longer says so on standard error.
    history.close(UpdateHistory::defaultCloseTimeoutMs);
    if (const qint64 waiting = history.history().waitingAtClose(); waiting > 0)
        ConsoleOutput::warn(
            QStringLiteral("%1 recorded on this computer, not yet in the history at %2; %3 sent "
                           "when the station starts again")
                .arg(waiting == 1 ? QStringLiteral("1 update") : QStringLiteral("%1 updates").arg(waiting),
                     historyLocation.display(),
                     waiting == 1 ? QStringLiteral("it is") : QStringLiteral("they are")));
    return code;
}
