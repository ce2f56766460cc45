// uploader-station and the update history, against SQLite and the test PostgreSQL server: the rows
// its runs leave (their run, the uploaded file, SIGTERM as interrupted), the history API with its
// filters and errors, the warnings when the history cannot be used, and --history-required.
#include "HexFile.h"
#include "ReleaseKeys.h"
#include "SimulatedUnits.h"
#include "StationProcess.h"
#include "TestHistories.h"

#include "history/HistoryReader.h"
#include "unitsim/Fault.h"
#include "unitsim/SimulatedUnit.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QTcpServer>
#include <QTest>
#include <QUrlQuery>

#include <csignal>
#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;

using unitsim::Fault;
using unitsim::Model;
using unitsim::SimulatedUnit;

namespace {

// The station's bound on history reads at once (HistoryApi::MaxPendingReads).
constexpr int MaxPendingReads = 32;

using SimulatedUnits::address;

QByteArray runBody(const QString& sha256, const QStringList& units, const QJsonObject& more = {})
{
    QJsonObject object = more;
    object[u"firmware"_s] = sha256;
    object[u"units"_s] = QJsonArray::fromStringList(units);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject rowOf(const QJsonArray& rows, const QString& unit)
{
    for (const QJsonValue& row : rows)
        if (row.toObject().value(u"unit"_s).toString() == unit)
            return row.toObject();
    return {};
}

// The log events of one unit as the event stream sent them.
class LogReader
{
public:
    LogReader(QNetworkAccessManager& network, const StationProcess& station)
    {
        QNetworkRequest request(QUrl(station.url + u"/api/v1/events"_s));
        m_reply.reset(network.get(request));
        QObject::connect(m_reply.get(), &QNetworkReply::readyRead, m_reply.get(), [this] {
            m_buffer += m_reply->readAll();
            qsizetype end;
            while ((end = m_buffer.indexOf("\n\n")) >= 0) {
                const QByteArray block = m_buffer.left(end);
                m_buffer.remove(0, end + 2);
                open = true;
                if (!block.startsWith("data: "))
                    continue;
                const QJsonObject event = QJsonDocument::fromJson(block.mid(6)).object();
                if (event.value(u"event"_s).toString() == QLatin1String("log"))
                    lines[event.value(u"unit"_s).toString()] << event.value(u"text"_s).toString();
            }
        });
    }
    bool open = false;
    QHash<QString, QStringList> lines;

private:
    std::unique_ptr<QNetworkReply> m_reply;
    QByteArray m_buffer;
};

} // namespace

class StationHistoryTest : public QObject
{
    Q_OBJECT

    TestHistories m_histories;
    const QList<QByteArray> m_lines = HexFile::plain(60);
    const QByteArray m_firmware = HexFile::join(m_lines);
    const QString m_sha256 =
        QString::fromLatin1(QCryptographicHash::hash(m_firmware, QCryptographicHash::Sha256).toHex());

    QString upload(StationProcess& station)
    {
        return station
            .request("POST", u"/api/v1/firmware?name=plain.hex"_s, m_firmware, true,
                     "application/octet-stream")
            .json()
            .value(u"sha256"_s)
            .toString();
    }

    QString startRun(StationProcess& station, const QStringList& units, const QJsonObject& more = {},
                     const QHash<QString, QString>& serials = {})
    {
        QJsonObject body = QJsonDocument::fromJson(runBody(upload(station), units, more)).object();
        QJsonArray unitList;
        for (const QString& unit : units)
            unitList.append(
                serials.contains(unit)
                    ? QJsonValue(QJsonObject{{u"unit"_s, unit}, {u"serial"_s, serials.value(unit)}})
                    : QJsonValue(unit));
        body[u"units"_s] = unitList;
        return station.request("POST", u"/api/v1/runs"_s, QJsonDocument(body).toJson(QJsonDocument::Compact))
            .json()
            .value(u"id"_s)
            .toString();
    }

    // The history as the API shows it, once `count` rows are there and none is running.
    static QJsonArray settledRows(StationProcess& station, int count, const QString& query = {})
    {
        QJsonArray rows;
        waitUntil(
            [&] {
                rows = station.get(u"/api/v1/updates"_s + query).json().value(u"updates"_s).toArray();
                if (rows.size() < count)
                    return false;
                for (const QJsonValue& row : std::as_const(rows))
                    if (row.toObject().value(u"outcome"_s).toString() == QLatin1String("running"))
                        return false;
                return true;
            },
            20000);
        return rows;
    }

    static int countOf(StationProcess& station, const QString& query)
    {
        const HttpAnswer answer = station.get(u"/api/v1/updates?"_s + query);
        if (answer.status != 200)
            return -answer.status;
        return int(answer.json().value(u"updates"_s).toArray().size());
    }

private slots:
    void initTestCase_data() { TestHistories::addBackends(); }

    // Every outcome a run can have, one row per update with the run's id, the unit, the uploaded
    // bytes' SHA-256 and the log the event stream carried; then the API's filters on those rows.
    void runLeavesOneRowPerUpdate()
    {
        HISTORY_LOCATION(m_histories, location);
        StationProcess station;
        QVERIFY2(station.start({u"--history"_s, location.display()}), station.err.constData());
        QNetworkAccessManager network;
        LogReader logs(network, station);
        QVERIFY(waitUntil([&] { return logs.open; }, 5000));

        std::vector<std::unique_ptr<SimulatedUnit>> units;
        units.push_back(SimulatedUnits::listening());
        units.push_back(SimulatedUnits::listening(u"refuse:02@5"_s));
        units.push_back(SimulatedUnits::listening(u"silence@3"_s));
        units.push_back(SimulatedUnits::listening());
        units.back()->stopListening();
        units.push_back(SimulatedUnits::listening(u"flood-stray:0@5"_s));
        const QStringList outcomes{u"succeeded"_s, u"refused"_s, u"no-reply"_s, u"no-connection"_s,
                                   u"too-much-data"_s};
        QStringList names;
        for (const auto& unit : units)
            names << address(*unit);
        const QString run =
            startRun(station, names, {{u"lot"_s, u"WO-5521"_s}}, {{names.at(1), u"40-1187"_s}});
        QVERIFY(!run.isEmpty());

        const QJsonArray rows = settledRows(station, 5);
        QCOMPARE(rows.size(), 5);
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QJsonObject row = rowOf(rows, names.at(i));
            QCOMPARE(row.value(u"outcome"_s).toString(), outcomes.at(i));
            QCOMPARE(row.value(u"run"_s).toString(), run);
            QCOMPARE(row.value(u"frontend"_s).toString(), u"station"_s);
            QCOMPARE(row.value(u"program"_s).toString(), u"uploader-station"_s);
            QCOMPARE(row.value(u"sha256"_s).toString(), m_sha256);
            QCOMPARE(row.value(u"file"_s).toString(), u"plain.hex"_s);
            QCOMPARE(row.value(u"size"_s).toInteger(), m_firmware.size());
            QCOMPARE(row.value(u"records_total"_s).toInt(), 61);
            QCOMPARE(row.value(u"product"_s).toString(), u"Marlin"_s);
            QVERIFY(!row.value(u"ended"_s).isNull());
            QCOMPARE(row.value(u"reason"_s).toString().isEmpty(), i == 0);
            QCOMPARE(row.value(u"serial"_s).toString(), i == 1 ? u"40-1187"_s : QString());
            QCOMPARE(row.value(u"lot"_s).toString(), u"WO-5521"_s);
            QCOMPARE(row.value(u"fixture"_s).toString(), QString());
            QCOMPARE(row.value(u"attempt"_s).toInt(), 1);
            QVERIFY(!row.contains(u"log"_s)); // only by id
        }
        QCOMPARE(rowOf(rows, names.at(0)).value(u"records_sent"_s).toInt(), 61);
        QCOMPARE(rowOf(rows, names.at(1)).value(u"refusal_code"_s).toString(), u"02"_s);

        // By id, with the log: the lines the event stream carried, in order.
        for (const QString& name : {names.at(0), names.at(1)}) {
            const qint64 id = rowOf(rows, name).value(u"id"_s).toInteger();
            const HttpAnswer one = station.get(u"/api/v1/updates/%1"_s.arg(id));
            QCOMPARE(one.status, 200);
            QCOMPARE(one.json().value(u"id"_s).toInteger(), id);
            QCOMPARE(one.json().value(u"log"_s).toString(), logs.lines.value(name).join(u'\n'));
            QVERIFY(!logs.lines.value(name).isEmpty());
        }

        // Filters.
        const QString tomorrow = QDateTime::currentDateTimeUtc().addDays(1).date().toString(Qt::ISODate);
        const QString hourAgo = QDateTime::currentDateTimeUtc().addSecs(-3600).toString(Qt::ISODate);
        const QList<std::pair<QString, int>> filters{
            {u"unit="_s + names.at(1), 1},
            {u"unit=127.0.0.1"_s, 5},
            {u"unit=127.0.0.2"_s, 0},
            {u"outcome=refused"_s, 1},
            {u"outcome=succeeded&unit="_s + names.at(1), 0},
            {u"sha256="_s + m_sha256.left(8).toUpper(), 5},
            {u"sha256="_s + (m_sha256.startsWith(u'0') ? u"1"_s : u"0"_s), 0},
            {u"serial=40-1187"_s, 1},
            {u"serial=40-118"_s, 0},
            {u"lot=WO-5521&outcome=succeeded"_s, 1},
            {u"run="_s + run, 5},
            {u"run=000000000000"_s, 0},
            {u"fixture=bench-a"_s, 0},
            {u"limit=2"_s, 2},
            {u"since="_s + hourAgo, 5},
            {u"since="_s + tomorrow, 0},
            {u"until="_s + hourAgo, 0},
            {u"since="_s + hourAgo + u"&until="_s + tomorrow, 5},
        };
        for (const auto& [query, expected] : filters)
            QVERIFY2(
                countOf(station, query) == expected,
                qPrintable(u"%1: %2 rows, not %3"_s.arg(query).arg(countOf(station, query)).arg(expected)));

        // Latest first.
        const QJsonArray limited =
            station.get(u"/api/v1/updates?limit=1"_s).json().value(u"updates"_s).toArray();
        QCOMPARE(limited.first().toObject().value(u"started"_s).toString(),
                 rows.first().toObject().value(u"started"_s).toString());
    }

    // A stopped station: the update under way ends as interrupted, and its row is written before
    // the station exits.
    // --allowed-signers: stored firmware runs only once a good signature is put beside it; a bad
    // one is refused with its reason; the signer goes into the library, the events and the rows.
    void releasedFirmwareOnly()
    {
        HISTORY_LOCATION(m_histories, location);
        static const ReleaseKeys keys;
        QVERIFY(keys.isValid());
        auto unit = SimulatedUnits::listening();
        QTemporaryDir dir;
        QFile fixtures(dir.filePath(u"fixtures"_s));
        QVERIFY(fixtures.open(QIODevice::WriteOnly) && fixtures.write("f1 " + address(*unit).toUtf8()) > 0);
        fixtures.close();
        StationProcess station;
        QVERIFY2(station.start({u"--history"_s, location.display(), u"--allowed-signers"_s,
                                keys.allowedSigners(), u"--revoked-keys"_s, keys.revokedKeys(),
                                u"--fixtures"_s, fixtures.fileName(), u"--product"_s, u"Marlin"_s}),
                 station.err.constData());
        const QString sha256 = upload(station);
        QCOMPARE(sha256, m_sha256);
        const QString library = u"/api/v1/firmware"_s;
        QCOMPARE(station.get(library).json().value(u"firmware"_s)[0][u"signer"_s].toString(), u"unsigned"_s);
        const QByteArray run = runBody(sha256, {address(*unit)});
        const HttpAnswer unsignedRun = station.request("POST", u"/api/v1/runs"_s, run);
        QCOMPARE(unsignedRun.status, 422);
        QCOMPARE(unsignedRun.json().value(u"error"_s).toString(), u"unsigned-firmware"_s);
        const QByteArray watch = "{\"firmware\": \"" + sha256.toLatin1() + "\"}";
        QCOMPARE(station.request("POST", u"/api/v1/fixtures/f1/watch"_s, watch).error(),
                 u"unsigned-firmware"_s);

        const QString file = dir.filePath(u"plain.hex"_s);
        QFile hex(file);
        QVERIFY(hex.open(QIODevice::WriteOnly) && hex.write(m_firmware) == m_firmware.size());
        hex.close();
        const auto put = [&](const QString& key) {
            if (!keys.sign(file, key))
                return HttpAnswer{};
            QFile signature(file + u".sig"_s);
            signature.open(QIODevice::ReadOnly);
            return station.request("PUT", library + u'/' + sha256 + u"/signature"_s, signature.readAll(),
                                   true, "application/octet-stream");
        };
        for (const QString& key : {u"stranger"_s, u"retired"_s}) {
            const HttpAnswer refused = put(key);
            QCOMPARE(refused.status, 422);
            QCOMPARE(refused.json().value(u"error"_s).toString(), u"bad-signature"_s);
        }
        const HttpAnswer good = put(u"release"_s);
        QCOMPARE(good.status, 200);
        QCOMPARE(good.json().value(u"signer"_s).toString(), ReleaseKeys::Release);
        QCOMPARE(station.get(library).json().value(u"firmware"_s)[0][u"signer"_s].toString(),
                 ReleaseKeys::Release);

        QCOMPARE(station.request("POST", u"/api/v1/runs"_s, run).status, 201);
        const QJsonArray rows = settledRows(station, 1);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0][u"outcome"_s].toString(), u"succeeded"_s);
        QCOMPARE(rows[0][u"signer"_s].toString(), ReleaseKeys::Release);
        QCOMPARE(countOf(station, u"signer="_s + ReleaseKeys::Release), 1);
        QCOMPARE(countOf(station, u"signer=nobody"_s), 0);
        // The signature is kept, and verified again when the station starts.
        ::kill(pid_t(station.pid()), SIGTERM);
        QVERIFY(station.waitForExit(10000));
        QVERIFY(station.restart());
        QVERIFY(waitUntil(
            [&] {
                return station.get(library).json().value(u"firmware"_s)[0][u"signer"_s].toString() ==
                       ReleaseKeys::Release;
            },
            10000));
    }

    void sigtermRecordsInterrupted()
    {
        HISTORY_LOCATION(m_histories, location);
        StationProcess station;
        QVERIFY2(station.start({u"--history"_s, location.display()}), station.err.constData());
        auto unit = SimulatedUnits::listening();
        unit->setLatencyMs(20);
        const QString stopped = startRun(station, {address(*unit)});
        QVERIFY(waitUntil([&] { return unit->report().cumulative().recordsAccepted >= 5; }, 10000));
        ::kill(pid_t(station.pid()), SIGTERM);
        QVERIFY(station.waitForExit(20000));
        QCOMPARE(station.process.exitCode(), 0);
        // Written before the station exited: read straight from the history.
        HistoryFilter filter;
        filter.unitHost = u"127.0.0.1"_s;
        filter.unitPort = unit->port();
        const HistoryRows after = HistoryReader::list(location, filter);
        QVERIFY2(after.error.ok(), qPrintable(after.error.message));
        QCOMPARE(after.rows.size(), 1);
        QCOMPARE(after.rows.first().outcome, u"interrupted"_s);
        QCOMPARE(after.rows.first().runId, stopped);
        QVERIFY(after.rows.first().ended.isValid());
        const HistoryRow full = HistoryReader::byId(location, after.rows.first().id);
        QVERIFY(full.record && !full.record->log.isEmpty());
    }

    // Bad filters and ids are the client's fault (400); an unknown id is 404.
    void badRequestsAreRefused()
    {
        HISTORY_LOCATION(m_histories, location);
        StationProcess station;
        QVERIFY2(station.start({u"--history"_s, location.display()}), station.err.constData());
        for (const QString& query :
             {u"unit=:5"_s, u"unit=10.0.0.1:99999"_s, u"since=yesterday"_s, u"until=2026-13-01"_s,
              u"outcome=exploded"_s, u"sha256=xyz"_s, u"sha256="_s + QString(65, u'a'), u"limit=0"_s,
              u"limit=1001"_s, u"limit=ten"_s, u"limit=-5"_s, u"colour=red"_s,
              u"serial="_s + QString(65, u'7'), u"lot=%01"_s, u"fixture=a/b"_s, u"run=a_b"_s,
              u"since=2026-12-09&until=2026-12-08"_s}) {
            const HttpAnswer answer = station.get(u"/api/v1/updates?"_s + query);
            QVERIFY2(answer.status == 400, qPrintable(query));
            QCOMPARE(answer.error(), u"bad-filter"_s);
            QVERIFY(!answer.json().value(u"message"_s).toString().isEmpty());
        }
        QCOMPARE(countOf(station, u"limit=1000"_s), 0);
        for (const QString& id : {u"0"_s, u"-1"_s, u"abc"_s, u"1.5"_s, u"+3"_s, u"99999999999999999999"_s}) {
            const HttpAnswer answer = station.get(u"/api/v1/updates/"_s + id);
            QVERIFY2(answer.status == 400, qPrintable(id));
            QCOMPARE(answer.error(), u"bad-id"_s);
        }
        const HttpAnswer unknown = station.get(u"/api/v1/updates/424242"_s);
        QCOMPARE(unknown.status, 404);
        QCOMPARE(unknown.error(), u"not-found"_s);
        QCOMPARE(station.request("DELETE", u"/api/v1/updates/1"_s).status, 405);
        // Reads on loopback need no token, like the other reads.
        QCOMPARE(station.request("GET", u"/api/v1/updates"_s, {}, false).status, 200);
    }

    // A history that cannot be used: the station still updates, says so once on standard error and
    // in its status, and the history's reads answer 503.
    void unusableHistory()
    {
        QFETCH_GLOBAL(QString, backend);
        QTemporaryDir dir;
        QString url;
        if (backend == QLatin1String("sqlite")) {
            url = dir.filePath(u"not-a-history.sqlite"_s);
            QFile file(url);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(8192, 'x'));
        } else {
            url = u"postgresql://uploader_test@127.0.0.1:%1/nothing?connect_timeout=2"_s.arg(closedPort());
        }
        StationProcess station;
        QVERIFY2(station.start({u"--history"_s, url}), station.err.constData());
        auto unit = SimulatedUnits::listening();
        const QString run = startRun(station, {address(*unit)});
        QVERIFY(waitUntil(
            [&] {
                return station.get(u"/api/v1/runs/"_s + run).json().value(u"state"_s).toString() ==
                       u"finished"_s;
            },
            20000));
        QVERIFY(unit->report().cumulative().imageComplete);

        QJsonArray warnings;
        QVERIFY(waitUntil(
            [&] {
                warnings = station.get(u"/api/v1/status"_s)
                               .json()
                               .value(u"history"_s)
                               .toObject()
                               .value(u"warnings"_s)
                               .toArray();
                return !warnings.isEmpty();
            },
            20000));
        QVERIFY(station.err.contains("warning:"));
        const QString first = warnings.first().toString();
        QVERIFY2(station.err.count(first.left(40).toUtf8()) == 1, station.err.constData());

        const HttpAnswer list = station.get(u"/api/v1/updates"_s);
        QCOMPARE(list.status, 503);
        QCOMPARE(list.error(), u"history-unavailable"_s);
        QVERIFY(!list.json().value(u"message"_s).toString().isEmpty());
        QCOMPARE(station.get(u"/api/v1/updates/1"_s).status, 503);
        // The event loop was never held up by the reads.
        QCOMPARE(station.get(u"/api/v1/runs"_s).status, 200);
    }

    // A database server that takes connections and never answers: the history's reads wait on
    // their own threads while everything else is answered at once, and past MaxPendingReads further
    // reads are refused (503 history-busy) instead of queueing without end.
    void silentServerHoldsUpOnlyTheReads()
    {
        QFETCH_GLOBAL(QString, backend);
        if (backend != QLatin1String("postgresql"))
            QSKIP("a server that never answers is a PostgreSQL case");
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        std::vector<std::unique_ptr<QTcpSocket>> held;
        connect(&silent, &QTcpServer::newConnection, &silent, [&] {
            while (QTcpSocket* socket = silent.nextPendingConnection())
                held.emplace_back(socket);
        });
        StationProcess station;
        QVERIFY2(station.start({u"--history"_s,
                                u"postgresql://nobody@127.0.0.1:%1/history?connect_timeout=30"_s.arg(
                                    silent.serverPort()),
                                u"--max-connections-per-client"_s, u"100"_s}),
                 station.err.constData());

        constexpr int reads = 40;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        std::vector<QByteArray> answers(reads);
        for (int i = 0; i < reads; ++i) {
            clients.push_back(std::make_unique<QTcpSocket>());
            QTcpSocket* socket = clients.back().get();
            connect(socket, &QTcpSocket::readyRead, socket,
                    [&answers, socket, i] { answers[size_t(i)] += socket->readAll(); });
            connect(socket, &QTcpSocket::connected, socket, [socket, &station] {
                socket->write("GET /api/v1/updates HTTP/1.1\r\nHost: 127.0.0.1:" +
                              QByteArray::number(station.port) + "\r\nConnection: close\r\n\r\n");
            });
            socket->connectToHost(QHostAddress::LocalHost, station.port);
        }
        const auto answered = [&](const QByteArray& code) {
            return std::count_if(answers.begin(), answers.end(),
                                 [&](const QByteArray& answer) { return answer.contains(code); });
        };
        QVERIFY(waitUntil([&] { return answered("history-busy") >= 1; }, 20000));
        QCOMPARE(station.get(u"/api/v1/runs"_s).status, 200);
        const HttpAnswer status = station.get(u"/api/v1/status"_s);
        QCOMPARE(status.status, 200);
        // Those answers came while every other read still waits for the server.
        QCOMPARE(answered("history-unavailable"), 0);
        QCOMPARE(answered("HTTP/1.1 200"), 0);
        QCOMPARE(answered("history-busy"), reads - MaxPendingReads);
    }

    // --history-required: a history that cannot be written stops the start, exit 2, before the
    // station listens; one that works lets it start.
    void historyRequired()
    {
        QFETCH_GLOBAL(QString, backend);
        QString unreachable;
        QTemporaryDir dir;
        if (backend == QLatin1String("sqlite")) {
            QFile blocker(dir.filePath(u"file"_s));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            unreachable = dir.filePath(u"file/history.sqlite"_s); // its folder is a file
        } else {
            unreachable =
                u"postgresql://uploader_test@127.0.0.1:%1/nothing?connect_timeout=2"_s.arg(closedPort());
        }
        StationProcess refused;
        refused.process.setProgram(QStringLiteral(UPLOADER_STATION_TEST));
        refused.process.setArguments({u"--listen"_s, u"127.0.0.1:0"_s, u"--state-dir"_s,
                                      refused.stateDir.path(), u"--history"_s, unreachable,
                                      u"--history-required"_s});
        refused.process.start();
        QVERIFY(refused.waitForExit(30000));
        QCOMPARE(refused.process.exitCode(), 2);
        QVERIFY(refused.out.isEmpty());
        QVERIFY(!QFile::exists(refused.stateDir.filePath(u"listening"_s)));
        QVERIFY2(refused.err.contains("--history-required"), refused.err.constData());

        if (backend == QLatin1String("postgresql") && !m_histories.postgresSkipReason().isEmpty())
            QSKIP(qPrintable(u"PostgreSQL tests skipped: "_s + m_histories.postgresSkipReason()));
        const HistoryLocation location = m_histories.fresh(backend);
        StationProcess started;
        QVERIFY2(started.start({u"--history"_s, location.display(), u"--history-required"_s}),
                 started.err.constData());
        QCOMPARE(started.get(u"/api/v1/updates"_s).status, 200);
    }
};

QTEST_GUILESS_MAIN(StationHistoryTest)
#include "tst_station_history.moc"
