// The station's rules on their own: which Host names it answers to, which paths and firmware
// names it takes, the token comparison, how a path finds its route, its command line's addresses,
// sizes, history and webhooks, the history API's filters, and the runs RunRegistry refuses to start.
#include "history/UpdateHistory.h"
#include "settings/ProductVariant.h"
#include "station/EventHub.h"
#include "station/FirmwareStore.h"
#include "station/GuessLimiter.h"
#include "station/HistoryApi.h"
#include "station/HostCheck.h"
#include "station/RouteTable.h"
#include "station/RunRegistry.h"
#include "station/StationApi.h"
#include "station/StationErrorResponse.h"
#include "station/StationOptions.h"
#include "station/TokenFile.h"
#include "station/TokenStore.h"
#include "station/Webhooks.h"

#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

using namespace Qt::Literals::StringLiterals;

class StationPartsTest : public QObject
{
    Q_OBJECT

private slots:
    void hostNames_data()
    {
        QTest::addColumn<QString>("listen");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<bool>("allowed");
        const QString loopback = u"127.0.0.1"_s;
        QTest::newRow("listen address") << loopback << QByteArray("127.0.0.1") << true;
        QTest::newRow("with its port") << loopback << QByteArray("127.0.0.1:8470") << true;
        QTest::newRow("another port") << loopback << QByteArray("127.0.0.1:8471") << false;
        QTest::newRow("localhost") << loopback << QByteArray("LocalHost:8470") << true;
        QTest::newRow("::1") << loopback << QByteArray("[::1]:8470") << true;
        QTest::newRow("::1 written long") << loopback << QByteArray("[0:0:0:0:0:0:0:1]") << true;
        QTest::newRow("unbracketed ::1") << loopback << QByteArray("::1") << false;
        QTest::newRow("server name") << loopback << QByteArray("station.example.:8470") << true;
        QTest::newRow("foreign") << loopback << QByteArray("evil.example") << false;
        QTest::newRow("suffix") << loopback << QByteArray("127.0.0.1.evil.example") << false;
        QTest::newRow("empty") << loopback << QByteArray() << false;
        QTest::newRow("not loopback: localhost") << u"192.0.2.7"_s << QByteArray("localhost") << false;
        QTest::newRow("not loopback: own address") << u"192.0.2.7"_s << QByteArray("192.0.2.7:8470") << true;
        QTest::newRow("host name") << loopback << QHostInfo::localHostName().toUtf8() << true;
    }
    void hostNames()
    {
        QFETCH(QString, listen);
        QFETCH(QByteArray, host);
        QFETCH(bool, allowed);
        const HostCheck check(listen, QHostAddress(listen), 8470, {u"station.example"_s});
        QCOMPARE(check.allows(host), allowed);
    }

    void paths()
    {
        QVERIFY(StationApi::isSafePath(u"/"_s));
        QVERIFY(StationApi::isSafePath(u"/api/v1/runs"_s));
        QVERIFY(StationApi::isSafePath(u"/app..js"_s));
        for (const QString& bad :
             {u"/../x"_s, u"/a/.."_s, u"/a/./b"_s, u"/a\\..\\b"_s, u"/a\nb"_s, u"relative"_s})
            QVERIFY2(!StationApi::isSafePath(bad), qPrintable(bad));
    }

    void firmwareNames()
    {
        for (const QString& good : {u"fw.hex"_s, u"Marlin 2.4 (final).HEX"_s, u"a..b.hex"_s})
            QVERIFY2(StationApi::isFirmwareName(good), qPrintable(good));
        for (const QString& bad : {u".hex"_s, u"fw.bin"_s, u"dir/fw.hex"_s, u"..\\fw.hex"_s, u"f\tw.hex"_s,
                                   u"f\u202Ew.hex"_s, u".hidden.hex"_s, QString(300, u'a') + u".hex"_s})
            QVERIFY2(!StationApi::isFirmwareName(bad), qPrintable(bad));
    }

    // Which row a request comes to, and what a path takes otherwise.
    void routes()
    {
        const RouteTable::Handler none = [](HttpExchange&, const RouteTable::Arguments&) {};
        const RouteTable table({{{"GET", "HEAD"}, u"/api/v1/runs"_s, none},
                                {{"POST"}, u"/api/v1/runs"_s, none},
                                {{"GET"}, u"/api/v1/runs/{id}"_s, none},
                                {{"DELETE"}, u"/api/v1/runs/{id}"_s, none},
                                {{RouteTable::AnyMethod}, u"/api/{rest...}"_s, none},
                                {{"GET", "HEAD"}, u"/{file...}"_s, none}});
        // "METHODS PATTERN ARGUMENT" of the row, or "405 ALLOWED".
        const auto route = [&](const QByteArray& method, const QString& path) {
            const RouteTable::Match match = table.find(method, path);
            if (!match.route)
                return u"405 "_s + QString::fromLatin1(match.allowed);
            return QString::fromLatin1(match.route->methods.join(',')) + u' ' + match.route->pattern + u' ' +
                   QStringList(match.arguments.values()).join(u',');
        };
        QCOMPARE(route("GET", u"/api/v1/runs"_s), u"GET,HEAD /api/v1/runs "_s);
        QCOMPARE(route("POST", u"/api//v1/runs/"_s), u"POST /api/v1/runs "_s);
        QCOMPARE(route("PUT", u"/api/v1/runs"_s), u"405 GET, HEAD, POST"_s);
        // No row of the path names HEAD: GET's answers it.
        QCOMPARE(route("HEAD", u"/api/v1/runs/abc"_s), u"GET /api/v1/runs/{id} abc"_s);
        QCOMPARE(route("POST", u"/api/v1/runs/abc"_s), u"405 GET, DELETE"_s);
        QCOMPARE(route("DELETE", u"/api/v1/runs/abc/x"_s), u"* /api/{rest...} v1/runs/abc/x"_s);
        QCOMPARE(route("PUT", u"/api"_s), u"* /api/{rest...} "_s);
        QCOMPARE(route("GET", u"/app.js"_s), u"GET,HEAD /{file...} app.js"_s);
        QCOMPARE(route("POST", u"/apix"_s), u"405 GET, HEAD"_s);
        // Not under /api, as the token check sees it either.
        QCOMPARE(route("GET", u"//api/v1/runs"_s), u"GET,HEAD /{file...} /api/v1/runs"_s);
        QCOMPARE(table.allMethods(), QByteArray("GET, HEAD, POST, DELETE"));
    }

    void tokenComparison()
    {
        const QByteArray token = "00112233445566778899aabbccddeeff";
        QVERIFY(TokenFile::matches(token, token));
        QVERIFY(!TokenFile::matches(token, token.left(31)));
        QVERIFY(!TokenFile::matches(token, token + "0"));
        QVERIFY(!TokenFile::matches(token, "10112233445566778899aabbccddeeff"));
        QVERIFY(!TokenFile::matches(token, {}));
        QVERIFY(!TokenFile::matches({}, {}));
    }

    // The eleventh wrong token within a minute locks that address alone, for a minute; tries older
    // than a minute are forgotten; memory stays bounded however many addresses try.
    void guessLimiter()
    {
        GuessLimiter limiter;
        const QHostAddress guesser(u"192.0.2.7"_s), other(u"192.0.2.8"_s);
        for (int i = 0; i < GuessLimiter::MaxWrong; ++i)
            QVERIFY(!limiter.wrong(guesser, 1000 + i));
        QCOMPARE(limiter.lockedFor(guesser, 2000), 0);
        QVERIFY(limiter.wrong(guesser, 2000));
        QCOMPARE(limiter.lockedFor(guesser, 2000), GuessLimiter::LockMs);
        QCOMPARE(limiter.lockedFor(other, 2000), 0);
        QCOMPARE(limiter.lockedFor(guesser, 2000 + GuessLimiter::LockMs), 0);

        GuessLimiter slow;
        for (int i = 0; i < 3 * GuessLimiter::MaxWrong; ++i)
            QVERIFY(!slow.wrong(guesser, qint64(i) * GuessLimiter::WindowMs / GuessLimiter::MaxWrong));

        GuessLimiter many;
        for (quint32 i = 0; i < quint32(GuessLimiter::MaxAddresses) + 100; ++i)
            many.wrong(QHostAddress(0x0a000000u + i), 5000);
        for (int i = 0; i < GuessLimiter::MaxWrong; ++i)
            many.wrong(guesser, 5000);
        QVERIFY(many.wrong(guesser, 5000));
    }

    // Names, and a tokens file that is not the owner's alone or not one at all.
    void tokenStore()
    {
        QTemporaryDir dir;
        QByteArray token;
        QString error;
        for (const QString& bad : {u""_s, u"-x"_s, u"a b"_s, u"admin"_s, QString(33, u'a')})
            QVERIFY2(!TokenStore::add(dir.path(), bad, Role::Operator, &token, &error), qPrintable(bad));
        QVERIFY(TokenStore::add(dir.path(), u"line-3.a_b"_s, Role::Operator, &token, &error));
        TokenStore::Contents contents;
        QVERIFY(TokenStore::read(dir.path(), &contents, &error));
        QCOMPARE(contents.tokens.size(), 1);
        QCOMPARE(contents.tokens.first().sha256, TokenStore::hashOf(token));
        QVERIFY(!TokenStore::revoke(dir.path(), u"nobody"_s, &error));

        QFile file(TokenStore::path(dir.path()));
        QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ReadOther));
        QVERIFY(!TokenStore::read(dir.path(), &contents, &error));
        QVERIFY(error.contains(u"mode 600"_s));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{\"tokens\":[{\"name\":\"x\",\"role\":\"boss\"}]}");
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QVERIFY(!TokenStore::read(dir.path(), &contents, &error));
    }

    void listenAddresses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address"); // empty: refused
        QTest::addColumn<int>("port");
        QTest::newRow("v4 and port") << u"127.0.0.1:9000"_s << u"127.0.0.1"_s << 9000;
        QTest::newRow("v4 alone") << u"0.0.0.0"_s << u"0.0.0.0"_s << 8470;
        QTest::newRow("v6 in brackets") << u"[::1]:0"_s << u"::1"_s << 0;
        QTest::newRow("v6 bare") << u"::1"_s << QString() << 0;
        QTest::newRow("bad port") << u"127.0.0.1:70000"_s << QString() << 0;
        QTest::newRow("no bracket end") << u"[::1:80"_s << QString() << 0;
    }
    void listenAddresses()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QFETCH(int, port);
        StationOptions options;
        QString error;
        const bool ok = StationOptionsParser::parseListen(text, &options, &error);
        QCOMPARE(ok, !address.isEmpty());
        if (ok) {
            QCOMPARE(options.address, QHostAddress(address));
            QCOMPARE(int(options.port), port);
        } else {
            QVERIFY(error.contains(text));
        }
    }

    void sizes()
    {
        qint64 bytes = 0;
        QVERIFY(StationOptionsParser::parseSize(u"64M"_s, &bytes));
        QCOMPARE(bytes, 64LL * 1024 * 1024);
        QVERIFY(StationOptionsParser::parseSize(u"512KiB"_s, &bytes));
        QCOMPARE(bytes, 512LL * 1024);
        QVERIFY(StationOptionsParser::parseSize(u"1000"_s, &bytes));
        QCOMPARE(bytes, 1000);
        for (const QString& bad : {u"0"_s, u"-1M"_s, u"M"_s, u"1T"_s, u"99999999G"_s})
            QVERIFY2(!StationOptionsParser::parseSize(bad, &bytes), qPrintable(bad));
    }

    void tlsNeedsBoth()
    {
        StationOptions options;
        QString error;
        const StationOptionsParser parser(nullptr, u"test"_s);
        QVERIFY(!parser.parse({u"uploader-station"_s, u"--tls-cert"_s, u"c.pem"_s}, &options, &error));
        QVERIFY(error.contains(u"--tls-key"_s));
    }

    // Receivers are http or https URLs with a host; a secret needs a receiver, and is the file's
    // content without its last newline.
    void webhookOptions()
    {
        const StationOptionsParser parser(nullptr, u"test"_s);
        for (const QString& url : {u"http://mes.example/hook"_s, u"https://10.0.0.5:8443/a?b=c"_s})
            QVERIFY2(StationOptionsParser::isWebhookUrl(url), qPrintable(url));
        for (const QString& url : {u"ftp://mes.example/"_s, u"http://"_s, u"mes.example/hook"_s, u"/hook"_s})
            QVERIFY2(!StationOptionsParser::isWebhookUrl(url), qPrintable(url));
        StationOptions options;
        QString error;
        QVERIFY(!parser.parse({u"uploader-station"_s, u"--webhook"_s, u"file:///tmp/x"_s}, &options, &error));
        QVERIFY(!parser.parse({u"uploader-station"_s, u"--webhook-secret-file"_s, u"s"_s}, &options, &error));
        QVERIFY(error.contains(u"--webhook"_s));

        QTemporaryDir dir;
        QFile file(dir.filePath(u"secret"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("key with space \n");
        file.close();
        QByteArray secret;
        QVERIFY(Webhooks::readSecret(file.fileName(), &secret, &error));
        QCOMPARE(secret, QByteArray("key with space "));
        QVERIFY(!Webhooks::readSecret(dir.filePath(u"missing"_s), &secret, &error));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("\n");
        file.close();
        QVERIFY(!Webhooks::readSecret(file.fileName(), &secret, &error));
    }

    // --history, else $UPLOADER_HISTORY, else the state directory under systemd, else the user's.
    void historyLocation()
    {
        const QByteArray savedHistory = qgetenv("UPLOADER_HISTORY");
        const QByteArray savedState = qgetenv("STATE_DIRECTORY");
        const StationOptionsParser parser(nullptr, u"test"_s);
        const auto located = [&](const QStringList& arguments) {
            StationOptions options;
            QString error;
            if (!parser.parse(QStringList{u"uploader-station"_s} + arguments, &options, &error))
                return u"error: "_s + error;
            const HistoryLocation location = options.historyLocation();
            return location.kind() == HistoryLocation::SQLite ? location.filePath() : location.display();
        };
        qunsetenv("UPLOADER_HISTORY");
        qputenv("STATE_DIRECTORY", "/var/lib/uploader-station:/var/lib/other");
        QCOMPARE(located({}), u"/var/lib/uploader-station/history.sqlite"_s);
        QCOMPARE(located({u"--history"_s, u"/srv/h.sqlite"_s}), u"/srv/h.sqlite"_s);
        qputenv("UPLOADER_HISTORY", "postgresql://station@db.example/history");
        QVERIFY(located({}).startsWith(u"postgresql://station@db.example"_s));
        qunsetenv("STATE_DIRECTORY");
        qunsetenv("UPLOADER_HISTORY");
        QCOMPARE(located({}), HistoryLocation::defaultFile());
        QVERIFY(located({u"--history"_s, u"mysql://x/y"_s}).startsWith(u"error: --history"_s));
        qputenv("UPLOADER_HISTORY", savedHistory);
        qputenv("STATE_DIRECTORY", savedState);
        if (savedHistory.isNull())
            qunsetenv("UPLOADER_HISTORY");
        if (savedState.isNull())
            qunsetenv("STATE_DIRECTORY");
    }

    void historyFilters()
    {
        const auto parsed = [](const QHash<QString, QString>& query) {
            const StationResult<HistoryFilter> result = HistoryApi::parseFilter(query);
            HistoryFilter filter = result ? *result : HistoryFilter();
            if (!result)
                filter.limit = -StationErrorResponse::status(result.error().code());
            return filter;
        };
        HistoryFilter filter = parsed({});
        QCOMPARE(filter.limit, HistoryApi::DefaultLimit);
        QVERIFY(filter.unitHost.isEmpty() && !filter.since.isValid() && filter.outcome.isEmpty());

        filter = parsed({{u"unit"_s, u"[fd00::5]:2323"_s}, {u"sha256"_s, u"AbC"_s}, {u"limit"_s, u"1000"_s}});
        QCOMPARE(filter.unitHost, u"fd00::5"_s);
        QCOMPARE(filter.unitPort, 2323);
        QCOMPARE(filter.sha256Prefix, u"abc"_s);
        QCOMPARE(filter.limit, 1000);
        // Without a port: any port of that host.
        QCOMPARE(parsed({{u"unit"_s, u"fd00::5"_s}}).unitPort, 0);
        QCOMPARE(parsed({{u"unit"_s, u"10.0.4.20"_s}}).unitPort, 0);
        QCOMPARE(parsed({{u"unit"_s, u"10.0.4.20:1"_s}}).unitPort, 1);
        QCOMPARE(parsed({{u"unit"_s, u"10.0.4.20:2"_s}}).unitPort, 2);

        // A date alone is the whole day in UTC.
        filter = parsed({{u"since"_s, u"2026-12-08"_s}, {u"until"_s, u"2026-12-08"_s}});
        QCOMPARE(filter.since, QDateTime(QDate(2026, 12, 8), QTime(0, 0), QTimeZone::utc()));
        QCOMPARE(filter.until, QDateTime(QDate(2026, 12, 8), QTime(23, 59, 59, 999), QTimeZone::utc()));
        QCOMPARE(parsed({{u"since"_s, u"2026-12-08T10:00:00+02:00"_s}}).since,
                 QDateTime(QDate(2026, 12, 8), QTime(8, 0), QTimeZone::utc()));
        for (const QString& outcome : {u"interrupted"_s, u"running"_s, u"abandoned"_s, u"file-changed"_s})
            QCOMPARE(parsed({{u"outcome"_s, outcome}}).outcome, outcome);
        QCOMPARE(parsed({{u"unit"_s, u"host name"_s}}).limit, -400);
        QCOMPARE(parsed({{u"limit"_s, u"1e3"_s}}).limit, -400);

        // The audit's filters: the same bounds and limit, its own names.
        const auto audit = [](const QHash<QString, QString>& query) {
            const StationResult<AuditFilter> result = HistoryApi::parseAuditFilter(query);
            return result ? *result : AuditFilter{{}, {}, result.error().name(), 0};
        };
        QCOMPARE(audit({}).limit, HistoryApi::DefaultAuditLimit);
        const AuditFilter auditFilter =
            audit({{u"since"_s, u"2026-12-08"_s}, {u"token"_s, u" line-3 "_s}, {u"limit"_s, u"1000"_s}});
        QCOMPARE(auditFilter.since, QDateTime(QDate(2026, 12, 8), QTime(0, 0), QTimeZone::utc()));
        QCOMPARE(auditFilter.token, u"line-3"_s);
        QCOMPARE(auditFilter.limit, 1000);
        for (const auto& bad :
             {QHash<QString, QString>{{u"limit"_s, u"1001"_s}},
              QHash<QString, QString>{{u"until"_s, u"soon"_s}},
              QHash<QString, QString>{{u"since"_s, u"2026-12-09"_s}, {u"until"_s, u"2026-12-08"_s}},
              QHash<QString, QString>{{u"unit"_s, u"10.0.4.20"_s}}})
            QCOMPARE(audit(bad).token, u"bad-filter"_s);

        qint64 id = 0;
        QVERIFY(HistoryApi::parseId(u"42"_s, &id));
        QCOMPARE(id, 42);
        for (const QString& bad : {u""_s, u"0"_s, u"00"_s, u" 1"_s, u"1 "_s, u"0x10"_s, u"１"_s})
            QVERIFY2(!HistoryApi::parseId(bad, &id), qPrintable(bad));
    }

    // Refused before any unit is contacted, and leaving no run behind: firmware the store does not
    // hold, units another run is updating (each of them named), one run more than MaxRunning.
    void runRegistryRefusals()
    {
        QTemporaryDir state;
        FirmwareStore store;
        QString error;
        QVERIFY2(store.open(state.path(), &error), qPrintable(error));
        const QString stored(64, u'a');
        QFile part(store.folder() + u"/upload.part"_s);
        QVERIFY(part.open(QIODevice::WriteOnly) && part.write(":00000001FF\n") > 0);
        part.close();
        bool existed = false;
        QVERIFY2(store.add(part.fileName(),
                           {stored, u"fw.hex"_s, 12, 1, 0, QDateTime::currentDateTimeUtc(), {}}, &existed,
                           &error),
                 qPrintable(error));
        EventHub hub;
        UpdateHistory history; // never opened: nothing is recorded
        RunRegistry runs(store, hub, history, UpdateRequest());

        // Units on ports where nothing listens; the event loop does not run until the end, so
        // every unit of a started run is still being updated.
        const auto start = [&](const QString& firmware, const QList<int>& ports) {
            QJsonArray units;
            for (int port : ports)
                units.append(u"127.0.0.1:%1"_s.arg(port));
            const QJsonObject body{{u"firmware"_s, firmware},
                                   {u"units"_s, units},
                                   {u"product"_s, ProductVariants::all().front().modelName}};
            const StationResult<RunRequest> request =
                RunRequest::parse(QJsonDocument(body).toJson(), nullptr);
            if (!request)
                qFatal("%s", qPrintable(request.error().message()));
            return runs.start(*request);
        };
        const auto refusal = [](const StationResult<StationRun*>& result) {
            return result ? QString() : result.error().name();
        };

        QCOMPARE(refusal(start(QString(64, u'b'), {1001})), u"unknown-firmware"_s);
        QVERIFY(runs.runs().isEmpty());

        const StationResult<StationRun*> first = start(stored, {1001, 1002, 1003});
        QVERIFY(first);
        QVERIFY((*first)->running());
        const StationResult<StationRun*> busy = start(stored, {1003, 1004, 1001});
        QCOMPARE(refusal(busy), u"unit-busy"_s);
        QCOMPARE(StationErrorResponse::status(busy.error().code()), 409);
        QCOMPARE(busy.error().extra().value(u"units"_s).toArray(),
                 QJsonArray({u"127.0.0.1:1003"_s, u"127.0.0.1:1001"_s}));
        QCOMPARE(runs.runs().size(), 1);

        for (int i = 1; i < RunRegistry::MaxRunning; ++i)
            QVERIFY(start(stored, {2000 + i}));
        const StationResult<StationRun*> tooMany = start(stored, {3000});
        QCOMPARE(refusal(tooMany), u"too-many-runs"_s);
        QCOMPARE(StationErrorResponse::status(tooMany.error().code()), 503);
        QCOMPARE(runs.runs().size(), RunRegistry::MaxRunning);

        QCOMPARE(refusal(runs.retryFailed(**first)), u"run-running"_s);
        runs.cancelAll();
        QTRY_VERIFY(!runs.anyRunning());
        const StationResult<StationRun*> retry = runs.retryFailed(**first);
        QVERIFY(retry);
        QCOMPARE((*retry)->toJson().value(u"units"_s).toArray().size(), 3);
        runs.cancelAll();
        QTRY_VERIFY(!runs.anyRunning());
    }
};

QTEST_GUILESS_MAIN(StationPartsTest)
#include "tst_station_parts.moc"
