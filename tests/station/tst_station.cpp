// uploader-station (its test build) as a process: runs against simulated units served by this
// test's event loop on 127.0.0.1, cancel, the live events, the webhooks, the firmware store, and
// every rule of who may do what (tokens and roles, the audit, guessing, Host, methods, sizes,
// paths, idle connections, the token file, SIGTERM).
#include "ClosedPort.h"
#include "HexFile.h"
#include "HookReceiver.h"
#include "JobFixture.h"
#include "SimulatedUnits.h"
#include "StationProcess.h"

#include "unitsim/Fault.h"
#include "unitsim/SimulatedUnit.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QMessageAuthenticationCode>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

using unitsim::Fault;
using unitsim::Model;
using unitsim::SimulatedUnit;

namespace {

// How much the station's resident memory may move while it refuses bodies. AddressSanitizer keeps
// freed memory in quarantine, so there the memory grows by what merely passed through.
#if defined(__SANITIZE_ADDRESS__)
constexpr qint64 RssSlackKiB = 8 * 1024;
#else
constexpr qint64 RssSlackKiB = 2048;
#endif

using SimulatedUnits::address;

QByteArray runBody(const QString& sha256, const QStringList& units, const QJsonObject& more = {})
{
    QJsonObject object = more;
    object[u"firmware"_s] = sha256;
    object[u"units"_s] = QJsonArray::fromStringList(units);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject unitOf(const QJsonObject& run, const QString& unit)
{
    for (const QJsonValue& value : run.value(u"units"_s).toArray())
        if (value.toObject().value(u"unit"_s).toString() == unit)
            return value.toObject();
    return {};
}

// The event stream as it comes: every data line's JSON object.
class EventReader
{
public:
    EventReader(QNetworkAccessManager& network, const QString& url, const QByteArray& token)
    {
        QNetworkRequest request(QUrl(url + u"/api/v1/events"_s));
        request.setRawHeader("Authorization", "Bearer " + token);
        m_reply.reset(network.get(request));
        QObject::connect(m_reply.get(), &QNetworkReply::readyRead, m_reply.get(), [this] {
            m_buffer += m_reply->readAll();
            qsizetype end;
            while ((end = m_buffer.indexOf("\n\n")) >= 0) {
                const QByteArray block = m_buffer.left(end);
                m_buffer.remove(0, end + 2);
                if (block.startsWith("data: "))
                    events << QJsonDocument::fromJson(block.mid(6)).object();
                else
                    ++comments;
            }
        });
    }
    QList<QJsonObject> of(const QString& name, const QString& unit = {}) const
    {
        QList<QJsonObject> matching;
        for (const QJsonObject& event : events)
            if (event.value(u"event"_s).toString() == name &&
                (unit.isEmpty() || event.value(u"unit"_s).toString() == unit))
                matching << event;
        return matching;
    }
    QNetworkReply* reply() const { return m_reply.get(); }

    QList<QJsonObject> events;
    int comments = 0;

private:
    std::unique_ptr<QNetworkReply> m_reply;
    QByteArray m_buffer;
};

// The value of one series ("name{label=\"value\"}") in a scrape; -1 when it is not there.
double metric(const QByteArray& scrape, const QByteArray& series)
{
    for (const QByteArray& line : scrape.split('\n'))
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    return -1;
}

} // namespace

class StationTest : public QObject
{
    Q_OBJECT

    const QList<QByteArray> m_lines = HexFile::plain(60);
    const QByteArray m_firmware = HexFile::join(m_lines);
    const QString m_sha256 =
        QString::fromLatin1(QCryptographicHash::hash(m_firmware, QCryptographicHash::Sha256).toHex());

    // Uploads the test's firmware; its SHA-256.
    QString upload(StationProcess& station)
    {
        const HttpAnswer answer = station.request("POST", u"/api/v1/firmware?name=plain.hex"_s, m_firmware,
                                                  true, "application/octet-stream");
        return answer.json().value(u"sha256"_s).toString();
    }

    QJsonObject waitForRunEnd(StationProcess& station, const QString& id)
    {
        QJsonObject run;
        waitUntil(
            [&] {
                run = station.get(u"/api/v1/runs/"_s + id).json();
                return run.value(u"state"_s).toString() != QLatin1String("running");
            },
            30000);
        return run;
    }

private slots:
    // ---- runs --------------------------------------------------------------------------------------

    void runAgainstUnits()
    {
        StationProcess station;
        QVERIFY2(station.start(), station.err.constData());
        QNetworkAccessManager network;
        EventReader reader(network, station.url, station.token);
        QVERIFY(waitUntil([&] { return reader.comments > 0; }, 5000));

        const HttpAnswer stored = station.request("POST", u"/api/v1/firmware?name=plain.hex"_s, m_firmware,
                                                  true, "application/octet-stream");
        QCOMPARE(stored.status, 201);
        QCOMPARE(stored.json().value(u"sha256"_s).toString(), m_sha256);
        QCOMPARE(stored.json().value(u"to_send"_s).toInt(), 60 + 1);
        QCOMPARE(stored.json().value(u"size"_s).toInt(), m_firmware.size());

        std::vector<std::unique_ptr<SimulatedUnit>> units;
        units.push_back(SimulatedUnits::listening());
        units.push_back(SimulatedUnits::listening(u"refuse:02@5"_s));
        units.push_back(SimulatedUnits::listening(u"silence@3"_s));
        units.push_back(SimulatedUnits::listening());
        units.back()->stopListening();
        units.push_back(SimulatedUnits::listening(u"flood-stray:0@5"_s));
        const QStringList expected{u"succeeded"_s, u"refused"_s, u"no-reply"_s, u"no-connection"_s,
                                   u"too-much-data"_s};
        QStringList names;
        for (const auto& unit : units)
            names << address(*unit);

        // The refusing unit with its serial, as a unit object; every unit of the lot.
        QJsonObject body =
            QJsonDocument::fromJson(runBody(m_sha256, names, {{u"lot"_s, u"5521"_s}})).object();
        QJsonArray unitList = body[u"units"_s].toArray();
        unitList[1] = QJsonObject{{u"unit"_s, names.at(1)}, {u"serial"_s, u"40-1187"_s}};
        body[u"units"_s] = unitList;
        const HttpAnswer created =
            station.request("POST", u"/api/v1/runs"_s, QJsonDocument(body).toJson(QJsonDocument::Compact));
        QCOMPARE(created.status, 201);
        const QString id = created.json().value(u"id"_s).toString();
        QVERIFY(QRegularExpression(u"^[0-9a-f]{12}$"_s).match(id).hasMatch());

        const QJsonObject run = waitForRunEnd(station, id);
        QCOMPARE(run.value(u"state"_s).toString(), u"finished"_s);
        QCOMPARE(run.value(u"firmware"_s).toString(), m_sha256);
        QCOMPARE(run.value(u"name"_s).toString(), u"plain.hex"_s);
        QCOMPARE(run.value(u"product"_s).toString(), u"Marlin"_s);
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QJsonObject unit = unitOf(run, names.at(i));
            QCOMPARE(unit.value(u"outcome"_s).toString(), expected.at(i));
            QCOMPARE(unit.value(u"total"_s).toInt(), 61);
            QCOMPARE(unit.value(u"reason"_s).isNull(), i == 0);
        }
        QCOMPARE(unitOf(run, names.at(0)).value(u"records"_s).toInt(), 61);
        QCOMPARE(unitOf(run, names.at(1)).value(u"serial"_s).toString(), u"40-1187"_s);
        QCOMPARE(run.value(u"lot"_s).toString(), u"5521"_s);
        QVERIFY(units[0]->report().cumulative().image == JobFixture::expectedImage(m_lines));

        // The same events as uploader-cli's JSON lines, each with the run; finished last per unit.
        QVERIFY(waitUntil([&] { return reader.of(u"summary"_s).size() == 1; }, 10000));
        for (qsizetype i = 0; i < names.size(); ++i) {
            QList<QJsonObject> own;
            for (const QJsonObject& event : std::as_const(reader.events))
                if (event.value(u"unit"_s).toString() == names.at(i))
                    own << event;
            QCOMPARE(own.first().value(u"event"_s).toString(), u"started"_s);
            QCOMPARE(own.last().value(u"event"_s).toString(), u"finished"_s);
            QCOMPARE(own.last().value(u"outcome"_s).toString(), expected.at(i));
            for (const QJsonObject& event : own)
                QCOMPARE(event.value(u"run"_s).toString(), id);
        }
        QCOMPARE(reader.of(u"progress"_s, names.at(0)).last().value(u"records"_s).toInt(), 61);
        QCOMPARE(reader.of(u"finished"_s, names.at(1)).first().value(u"refusal_code"_s).toString(), u"02"_s);
        QCOMPARE(reader.of(u"run"_s).last().value(u"state"_s).toString(), u"finished"_s);

        const QJsonArray runs = station.get(u"/api/v1/runs"_s).json().value(u"runs"_s).toArray();
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs.first().toObject().value(u"id"_s).toString(), id);
        QCOMPARE(station.get(u"/api/v1/runs/000000000000"_s).status, 404);

        // The failed units again: only they are contacted, with their serials and the lot.
        const qsizetype goodConnections = units[0]->report().connections.size();
        const HttpAnswer retry = station.request("POST", u"/api/v1/runs/%1/retry"_s.arg(id));
        QCOMPARE(retry.status, 201);
        const QString retryId = retry.json().value(u"id"_s).toString();
        QCOMPARE(station.request("POST", u"/api/v1/runs/%1/retry"_s.arg(retryId)).error(), u"run-running"_s);
        const QJsonObject again = waitForRunEnd(station, retryId);
        QCOMPARE(again.value(u"units"_s).toArray().size(), names.size() - 1);
        QVERIFY(unitOf(again, names.at(0)).isEmpty());
        QCOMPARE(unitOf(again, names.at(1)).value(u"serial"_s).toString(), u"40-1187"_s);
        QCOMPARE(again.value(u"lot"_s).toString(), u"5521"_s);
        QCOMPARE(units[0]->report().connections.size(), goodConnections);
        const QString good = station.request("POST", u"/api/v1/runs"_s, runBody(m_sha256, {names.at(0)}))
                                 .json()[u"id"_s]
                                 .toString();
        waitForRunEnd(station, good);
        QCOMPARE(station.request("POST", u"/api/v1/runs/%1/retry"_s.arg(good)).error(), u"nothing-failed"_s);
        QCOMPARE(station.request("POST", u"/api/v1/runs/000000000000/retry"_s).status, 404);
    }

    // DELETE ends the run as Ctrl+C ends uploader-cli: every connection closed at once.
    void cancelClosesEveryConnection()
    {
        StationProcess station;
        QVERIFY2(station.start(), station.err.constData());
        const QString sha256 = upload(station);
        std::vector<std::unique_ptr<SimulatedUnit>> units;
        QStringList names;
        for (int i = 0; i < 3; ++i) {
            units.push_back(SimulatedUnits::listening());
            units.back()->setLatencyMs(20);
            names << address(*units.back());
        }
        const QString id =
            station.request("POST", u"/api/v1/runs"_s, runBody(sha256, names, {{u"parallel"_s, 2}}))
                .json()
                .value(u"id"_s)
                .toString();
        QVERIFY(waitUntil([&] { return units[0]->report().cumulative().recordsAccepted >= 5; }, 10000));

        // Another run may not take a unit that this one updates.
        const HttpAnswer busy = station.request("POST", u"/api/v1/runs"_s, runBody(sha256, {names.at(0)}));
        QCOMPARE(busy.status, 409);
        QCOMPARE(busy.error(), u"unit-busy"_s);
        QCOMPARE(busy.json().value(u"units"_s).toArray(), QJsonArray{names.at(0)});
        QCOMPARE(station.request("DELETE", u"/api/v1/firmware/"_s + sha256).status, 409);

        const HttpAnswer cancelled = station.request("DELETE", u"/api/v1/runs/"_s + id);
        QCOMPARE(cancelled.status, 200);
        QCOMPARE(cancelled.json().value(u"state"_s).toString(), u"cancelled"_s);
        for (const QString& name : std::as_const(names))
            QCOMPARE(unitOf(cancelled.json(), name).value(u"outcome"_s).toString(), u"interrupted"_s);
        QVERIFY(waitUntil([&] { return !units[0]->report().connections.last().open; }, 2000));
        QVERIFY(!units[1]->report().connections.last().open);
        QVERIFY(units[2]->report().connections.isEmpty()); // it was waiting for its turn
        const auto sent = units[0]->report().cumulative().messages.size();
        QTest::qWait(300);
        QCOMPARE(units[0]->report().cumulative().messages.size(), sent);
        QCOMPARE(station.request("DELETE", u"/api/v1/runs/"_s + id).status, 409);
        QCOMPARE(waitForRunEnd(station, id).value(u"state"_s).toString(), u"cancelled"_s);
        // The units are free again.
        QCOMPARE(station.request("POST", u"/api/v1/runs"_s, runBody(sha256, {names.at(0)})).status, 201);
    }

    // SIGTERM ends every running update the way an interrupt does, then the station exits 0.
    void sigtermEndsRunningUpdates()
    {
        StationProcess station;
        QVERIFY2(station.start(), station.err.constData());
        auto unit = SimulatedUnits::listening();
        unit->setLatencyMs(20);
        QCOMPARE(
            station.request("POST", u"/api/v1/runs"_s, runBody(upload(station), {address(*unit)})).status,
            201);
        QNetworkAccessManager network;
        EventReader reader(network, station.url, station.token); // a stream open at the end too
        QVERIFY(waitUntil(
            [&] { return unit->report().cumulative().recordsAccepted >= 3 && reader.comments > 0; }, 10000));
        // An upload whose body has not all come when the station stops: ended, and audited so.
        QTcpSocket upload;
        upload.connectToHost(QHostAddress::LocalHost, station.port);
        QVERIFY(upload.waitForConnected(5000));
        upload.write("POST /api/v1/firmware?name=half.hex HTTP/1.1\r\nHost: 127.0.0.1:" +
                     QByteArray::number(station.port) + "\r\nAuthorization: Bearer " + station.token +
                     "\r\nContent-Length: 100000\r\n\r\n" + m_firmware.left(100));
        QVERIFY(upload.waitForBytesWritten(5000));
        QTest::qWait(200);
        ::kill(pid_t(station.pid()), SIGTERM);
        QVERIFY(station.waitForExit(10000));
        QCOMPARE(station.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.process.exitCode(), 0);
        QVERIFY(waitUntil([&] { return !unit->report().connections.last().open; }, 2000));
        QVERIFY(!unit->report().cumulative().imageComplete);
        QVERIFY(waitUntil([&] { return reader.reply()->isFinished(); }, 5000));
        QCOMPARE(reader.of(u"finished"_s).last().value(u"outcome"_s).toString(), u"interrupted"_s);
        QVERIFY(station.restart());
        const QJsonArray audit = station.get(u"/api/v1/audit"_s).json().value(u"entries"_s).toArray();
        QCOMPARE(audit.first().toObject().value(u"path"_s).toString(), u"/api/v1/firmware"_s);
        QCOMPARE(audit.first().toObject().value(u"status"_s).toInt(), 0);
    }

    // ---- watching the station ---------------------------------------------------------------------

    // The health checks need no token; the metrics count exactly the updates that ended, and
    // promtool takes a scrape taken while units update.
    void metricsAndHealth()
    {
        StationProcess station;
        const QString nowhere = u"http://127.0.0.1:%1/hook"_s.arg(closedPort());
        QVERIFY2(station.start({u"--webhook"_s, nowhere}), station.err.constData());
        for (const QString& path : {u"/healthz"_s, u"/readyz"_s}) {
            const HttpAnswer answer = station.request("GET", path, {}, false);
            QCOMPARE(answer.status, 200);
            QCOMPARE(answer.body, QByteArray("ok\n"));
        }
        const auto scrape = [&] {
            const HttpAnswer answer = station.request("GET", u"/metrics"_s, {}, false);
            return answer.status == 200 ? answer.body : QByteArray();
        };
        const QByteArray before = scrape();
        QCOMPARE(metric(before, R"(uploader_updates_total{outcome="succeeded"})"), 0.0);
        QCOMPARE(metric(before, R"(uploader_updates_total{outcome="refused"})"), 0.0);
        QCOMPARE(metric(before, "uploader_units_updating"), 0.0);

        std::vector<std::unique_ptr<SimulatedUnit>> units;
        units.push_back(SimulatedUnits::listening(u"latency:20"_s));
        units.push_back(SimulatedUnits::listening(u"latency:20"_s));
        units.push_back(SimulatedUnits::listening(u"refuse:02@5"_s));
        units.push_back(SimulatedUnits::listening(u"drop@3#1"_s)); // succeeds on its second attempt
        QStringList names;
        for (const auto& unit : units)
            names << address(*unit);
        const QString id =
            station.request("POST", u"/api/v1/runs"_s, runBody(upload(station), names, {{u"retries"_s, 1}}))
                .json()
                .value(u"id"_s)
                .toString();
        QByteArray during;
        QVERIFY(waitUntil(
            [&] {
                during = scrape();
                return metric(during, "uploader_units_updating") == 2 &&
                       !units[3]->report().connections.empty();
            },
            10000));
        QCOMPARE(metric(during, "uploader_runs_running"), 1.0);

        const QJsonObject run = waitForRunEnd(station, id);
        const QByteArray after = scrape();
        // An update retried after its connection dropped counts once, its records twice.
        QCOMPARE(metric(after, R"(uploader_updates_total{outcome="succeeded"})"), 3.0);
        QCOMPARE(metric(after, R"(uploader_updates_total{outcome="refused"})"), 1.0);
        QCOMPARE(metric(after, R"(uploader_updates_total{outcome="connection-lost"})"), 0.0);
        QCOMPARE(metric(after, "uploader_update_duration_seconds_count"), 4.0);
        QCOMPARE(metric(after, R"(uploader_update_duration_seconds_bucket{le="+Inf"})"), 4.0);
        double records = 0;
        const QJsonArray rows = station.get(u"/api/v1/updates"_s).json().value(u"updates"_s).toArray();
        QCOMPARE(rows.size(), 5); // the dropped attempt is a row of its own
        for (const QJsonValue row : rows)
            records += row[u"records_sent"_s].toDouble();
        QCOMPARE(metric(after, "uploader_records_sent_total"), records);
        QCOMPARE(metric(after, "uploader_units_updating"), 0.0);
        QCOMPARE(metric(after, "uploader_runs_running"), 0.0);
        QVERIFY(metric(after, R"(uploader_http_requests_total{code="201"})") >= 2); // firmware, run
        QVERIFY(waitUntil([&] { return metric(scrape(), R"(uploader_webhook_waiting{receiver="0"})") == 4; },
                          5000));

        const QString promtool = QStandardPaths::findExecutable(u"promtool"_s);
        if (promtool.isEmpty())
            QSKIP("promtool is not installed (Debian's prometheus package: scripts/install-deps.sh "
                  "--with-monitoring); the scrape was not checked with it");
        QProcess check;
        check.start(promtool, {u"check"_s, u"metrics"_s});
        check.write(during);
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(20000));
        QVERIFY2(check.exitCode() == 0,
                 (check.readAllStandardOutput() + check.readAllStandardError()).constData());
    }

    // Every finished update goes to each receiver, signed with the secret: the finished event with
    // the unit's serial, the lot, the run, the firmware and its history row. A failing receiver
    // holds up none of the others.
    void webhooksPostEachUpdate()
    {
        QTemporaryDir dir;
        QFile secret(dir.filePath(u"secret"_s));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("s3cret-key\n");
        secret.close();
        HookReceiver receiver;
        HookReceiver failing;
        failing.status = 500;
        TestProcess unreadable(QStringLiteral(UPLOADER_STATION_TEST));
        QCOMPARE(unreadable.run({u"--state-dir"_s, dir.path(), u"--webhook"_s, receiver.url(),
                                 u"--webhook-secret-file"_s, dir.filePath(u"missing"_s)}),
                 2);
        QVERIFY2(unreadable.err.contains("webhook secret file"), unreadable.err.constData());

        StationProcess station;
        QVERIFY2(station.start({u"--webhook"_s, receiver.url(), u"--webhook"_s, failing.url(),
                                u"--webhook-secret-file"_s, secret.fileName()}),
                 station.err.constData());
        std::vector<std::unique_ptr<SimulatedUnit>> units;
        units.push_back(SimulatedUnits::listening());
        units.push_back(SimulatedUnits::listening(u"refuse:02@5"_s));
        units.push_back(SimulatedUnits::listening());
        const QJsonArray list{address(*units[0]),
                              QJsonObject{{u"unit"_s, address(*units[1])}, {u"serial"_s, u"40-1187"_s}},
                              address(*units[2])};
        const QByteArray body =
            QJsonDocument(
                QJsonObject{{u"firmware"_s, upload(station)}, {u"units"_s, list}, {u"lot"_s, u"5521"_s}})
                .toJson();
        const QString id = station.request("POST", u"/api/v1/runs"_s, body).json()[u"id"_s].toString();
        waitForRunEnd(station, id);
        QVERIFY(waitUntil([&] { return receiver.delivered().size() == 3; }, 10000));

        QSet<QByteArray> deliveries;
        for (const HookReceiver::Request& request : receiver.delivered()) {
            QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
            QCOMPARE(request.headers.value("x-uploader-signature"),
                     "sha256=" + QMessageAuthenticationCode::hash(request.body, "s3cret-key",
                                                                  QCryptographicHash::Sha256)
                                     .toHex());
            deliveries.insert(request.headers.value("x-uploader-delivery"));
            const QJsonObject update = request.json();
            const bool refused = update[u"unit"_s].toString() == address(*units[1]);
            QCOMPARE(update[u"event"_s].toString(), u"finished"_s);
            QCOMPARE(update[u"outcome"_s].toString(), refused ? u"refused"_s : u"succeeded"_s);
            QCOMPARE(update[u"refusal_code"_s].toString(), refused ? u"02"_s : QString());
            QCOMPARE(update[u"serial"_s].toString(), refused ? u"40-1187"_s : QString());
            QCOMPARE(update[u"records"_s].toInt(), refused ? 5 : 61);
            QCOMPARE(update[u"attempts"_s].toInt(), 1);
            QCOMPARE(update[u"lot"_s].toString(), u"5521"_s);
            QCOMPARE(update[u"run"_s].toString(), id);
            QCOMPARE(update[u"sha256"_s].toString(), m_sha256);
            QVERIFY(update[u"fixture"_s].isNull());
            QVERIFY(update[u"signer"_s].isNull());
            QVERIFY(!update[u"station"_s].toString().isEmpty());
            // The row the history gave it.
            const HttpAnswer row =
                station.get(u"/api/v1/updates/%1"_s.arg(update[u"history_id"_s].toInteger()));
            QCOMPARE(row.status, 200);
            QCOMPARE(row.json()[u"uuid"_s].toString(), update[u"uuid"_s].toString());
            QCOMPARE(row.json()[u"unit"_s].toString(), update[u"unit"_s].toString());
        }
        QCOMPARE(deliveries.size(), 3);

        const QJsonArray hooks = station.get(u"/api/v1/status"_s).json()[u"webhooks"_s].toArray();
        QCOMPARE(hooks.size(), 2);
        QCOMPARE(hooks[0][u"url"_s].toString(), receiver.url());
        QCOMPARE(hooks[0][u"waiting"_s].toInt(), 0);
        QVERIFY(hooks[0][u"last_error"_s].isNull());
        QVERIFY(hooks[0][u"last_delivered"_s].isString());
        QCOMPARE(hooks[1][u"waiting"_s].toInt(), 3);
        QVERIFY2(hooks[1][u"last_error"_s].toString().contains(u"500"_s),
                 qPrintable(hooks[1][u"last_error"_s].toString()));
        QVERIFY(hooks[1][u"last_delivered"_s].isNull());
        QVERIFY(!station.err.contains("s3cret"));
    }

    // A receiver that fails keeps its deliveries waiting, across a station killed or stopped and
    // started again, and then gets each of them once, in order. One warning when it starts failing,
    // not one a retry, and one when it answers again.
    void webhooksWaitForTheReceiver()
    {
        HookReceiver receiver;
        receiver.status = 500;
        StationProcess station;
        QVERIFY2(station.start({u"--webhook"_s, receiver.url()}), station.err.constData());
        const QString sha256 = upload(station);
        auto unit = SimulatedUnits::listening();
        const auto update = [&] {
            waitForRunEnd(station,
                          station.request("POST", u"/api/v1/runs"_s, runBody(sha256, {address(*unit)}))
                              .json()[u"id"_s]
                              .toString());
        };
        const auto hook = [&] {
            return station.get(u"/api/v1/status"_s).json()[u"webhooks"_s][0].toObject();
        };
        update();
        update();
        QVERIFY(waitUntil([&] { return hook()[u"waiting"_s].toInt() == 2 && receiver.requests.size() >= 3; },
                          10000));
        QVERIFY(hook()[u"last_error"_s].toString().contains(u"500"_s));
        QCOMPARE(metric(station.get(u"/metrics"_s).body, R"(uploader_webhook_waiting{receiver="0"})"), 2.0);
        QCOMPARE(station.err.count("<4>uploader-station: warning: webhook"), 1);

        ::kill(pid_t(station.pid()), SIGKILL);
        QVERIFY(station.waitForExit(10000));
        QVERIFY2(station.restart(), station.err.constData());
        QCOMPARE(hook()[u"waiting"_s].toInt(), 2);
        update();
        QVERIFY(waitUntil([&] { return hook()[u"waiting"_s].toInt() == 3; }, 10000));
        ::kill(pid_t(station.pid()), SIGTERM); // and stopped the usual way, while they wait
        QVERIFY(station.waitForExit(10000));
        QCOMPARE(station.process.exitCode(), 0);
        QVERIFY2(station.restart(), station.err.constData());
        QCOMPARE(hook()[u"waiting"_s].toInt(), 3);

        receiver.status = 200;
        QVERIFY(waitUntil([&] { return hook()[u"waiting"_s].toInt() == 0; }, 20000));
        const QList<HookReceiver::Request> delivered = receiver.delivered();
        QCOMPARE(delivered.size(), 3);
        QSet<QByteArray> ids;
        for (qsizetype i = 0; i < delivered.size(); ++i) {
            ids.insert(delivered[i].headers.value("x-uploader-delivery"));
            QVERIFY(!delivered[i].headers.contains("x-uploader-signature"));
            if (i > 0)
                QVERIFY(delivered[i - 1].json()[u"time"_s].toString() <
                        delivered[i].json()[u"time"_s].toString());
        }
        QCOMPARE(ids.size(), 3);
        // The one tried while the receiver failed is the first delivered.
        QCOMPARE(delivered.first().headers.value("x-uploader-delivery"),
                 receiver.requests.first().headers.value("x-uploader-delivery"));
        QVERIFY(hook()[u"last_error"_s].isNull());
        QVERIFY(waitUntil([&] { return station.err.contains("answers again"); }, 5000));
    }

    // The notify protocol as systemd speaks it, on a datagram socket of the test's own: READY=1
    // once the port answers, WATCHDOG=1 at half of WATCHDOG_USEC, STOPPING=1 on SIGTERM.
    void systemdNotify()
    {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(u"notify"_s));
        const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        QVERIFY(socket >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QVERIFY(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0);
        QList<std::pair<qint64, QByteArray>> messages; // when (ms since the start), what
        QElapsedTimer clock;
        const auto receive = [&] {
            char buffer[4096];
            ssize_t size;
            while ((size = ::recv(socket, buffer, sizeof(buffer), 0)) > 0)
                messages.append({clock.elapsed(), QByteArray(buffer, size)});
        };
        const auto count = [&](const QByteArray& line) {
            return std::count_if(messages.cbegin(), messages.cend(),
                                 [&](const auto& m) { return m.second.split('\n').contains(line); });
        };

        StationProcess station;
        station.setEnvironment(u"NOTIFY_SOCKET"_s, QString::fromUtf8(path));
        station.setEnvironment(u"WATCHDOG_USEC"_s, u"400000"_s);
        clock.start();
        QVERIFY2(station.start(), station.err.constData());
        QVERIFY(waitUntil([&] { return receive(), count("READY=1") == 1; }, 5000));
        QCOMPARE(station.request("GET", u"/healthz"_s, {}, false).status, 200);
        QVERIFY(messages.first().second.contains("STATUS=0 units updating"));

        QVERIFY(waitUntil([&] { return receive(), count("WATCHDOG=1") >= 8; }, 10000));
        QList<qint64> gaps;
        qint64 last = -1;
        for (const auto& [at, message] : std::as_const(messages))
            if (message == "WATCHDOG=1") {
                if (last >= 0)
                    gaps << at - last;
                last = at;
            }
        std::sort(gaps.begin(), gaps.end());
        const qint64 median = gaps.at(gaps.size() / 2);
        QVERIFY2(median >= 150 && median < 300, QByteArray::number(median).constData());

        ::kill(pid_t(station.pid()), SIGTERM);
        QVERIFY(station.waitForExit(10000));
        receive();
        QCOMPARE(count("STOPPING=1"), 1);
        ::close(socket);

        // Standard error as journald reads it: every line with its syslog priority.
        const QList<QByteArray> lines = station.err.trimmed().split('\n');
        QVERIFY(lines.size() >= 2);
        for (const QByteArray& line : lines)
            QVERIFY2(
                QRegularExpression(u"^<[0-7]>uploader-station: "_s).match(QString::fromUtf8(line)).hasMatch(),
                line.constData());
        QVERIFY(lines.first().startsWith("<6>uploader-station: listening on "));
    }

    // ---- firmware ------------------------------------------------------------------------------------

    void firmwareStore()
    {
        StationProcess station;
        QVERIFY2(station.start(), station.err.constData());
        QCOMPARE(upload(station), m_sha256);
        // The same bytes again: the stored entry.
        QCOMPARE(station.request("POST", u"/api/v1/firmware?name=again.hex"_s, m_firmware).status, 200);
        const QJsonArray list = station.get(u"/api/v1/firmware"_s).json().value(u"firmware"_s).toArray();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first().toObject().value(u"name"_s).toString(), u"plain.hex"_s);
        QVERIFY(!list.first().toObject().value(u"uploaded"_s).toString().isEmpty());

        QByteArray bad = m_firmware;
        bad[20] = 'G';
        const HttpAnswer refused = station.request("POST", u"/api/v1/firmware?name=bad.hex"_s, bad);
        QCOMPARE(refused.status, 422);
        QVERIFY2(refused.json().value(u"message"_s).toString().startsWith(u"line 1, column"_s),
                 refused.body.constData());
        QCOMPARE(QDir(station.stateDir.filePath(u"firmware"_s)).entryList(QDir::Files).size(), 2);

        for (const QString& name :
             {u"../x.hex"_s, u"dir/x.hex"_s, u"x.bin"_s, u"a%0Ab.hex"_s, u""_s, u"%5Cx.hex"_s})
            QCOMPARE(station.request("POST", u"/api/v1/firmware?name="_s + name, m_firmware).status, 400);

        for (const QString& id : {u"1234"_s, QString(64, u'g'), u"..%2Ftoken"_s})
            QCOMPARE(station.request("DELETE", u"/api/v1/firmware/"_s + id).status, 400);
        QCOMPARE(station.request("DELETE", u"/api/v1/firmware/"_s + QString(64, u'0')).status, 404);
        const HttpAnswer unknown =
            station.request("POST", u"/api/v1/runs"_s, runBody(QString(64, u'0'), {u"127.0.0.1:1"_s}));
        QCOMPARE(unknown.status, 404);
        QCOMPARE(unknown.error(), u"unknown-firmware"_s);
        QCOMPARE(station.request("DELETE", u"/api/v1/firmware/"_s + m_sha256.toUpper()).status, 204);
        QCOMPARE(station.request("DELETE", u"/api/v1/firmware/"_s + m_sha256).status, 404);
        QVERIFY(QDir(station.stateDir.filePath(u"firmware"_s)).entryList(QDir::Files).isEmpty());
    }

    // A body over the limit is refused before it is read (Content-Length) or the moment it passes
    // the limit (chunked); the station's memory does not grow.
    void oversizedBodies()
    {
        StationProcess station;
        QVERIFY2(station.start({u"--max-firmware-size"_s, u"1M"_s}), station.err.constData());
        QCOMPARE(station.get(u"/api/v1/runs"_s).status, 200);
        const qint64 before = station.rssKiB();
        const QByteArray auth = "Authorization: Bearer " + station.token + "\r\n";
        const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(station.port) + "\r\n";
        const QByteArray declared =
            station.raw("POST /api/v1/firmware?name=big.hex HTTP/1.1\r\n" + host + auth +
                        "Content-Length: 104857600\r\n\r\n" + QByteArray(65536, ':'));
        QCOMPARE(StationProcess::statusOf(declared), 413);
        QVERIFY(declared.contains("\"too-large\""));

        QByteArray chunked = "POST /api/v1/firmware?name=big.hex HTTP/1.1\r\n" + host + auth +
                             "Transfer-Encoding: chunked\r\n\r\n";
        const QByteArray chunk = QByteArray(64 * 1024, '0');
        for (int i = 0; i < 24; ++i)
            chunked += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
        const QByteArray cut = station.raw(chunked);
        QCOMPARE(StationProcess::statusOf(cut), 413);

        const QByteArray json = "POST /api/v1/runs HTTP/1.1\r\n" + host + auth +
                                "Content-Type: application/json\r\nContent-Length: 2000000\r\n\r\n";
        QCOMPARE(StationProcess::statusOf(station.raw(json)), 413);
        QVERIFY(QDir(station.stateDir.filePath(u"firmware"_s)).entryList(QDir::Files).isEmpty());
        // Headers are bounded too.
        const QByteArray huge = station.raw("GET /api/v1/runs HTTP/1.1\r\n" + host +
                                            "X-Filler: " + QByteArray(64 * 1024, 'x') + "\r\n\r\n");
        QVERIFY2(StationProcess::statusOf(huge) >= 400 || huge.isEmpty(), huge.left(100).constData());
        QCOMPARE(station.get(u"/api/v1/runs"_s).status, 200);
        QVERIFY2(station.rssKiB() - before < RssSlackKiB,
                 qPrintable(u"%1 -> %2 KiB"_s.arg(before).arg(station.rssKiB())));
    }

    // ---- who may do what ---------------------------------------------------------------------------

    void tokenAndHeaders()
    {
        StationProcess station;
        QVERIFY2(station.start(), station.err.constData());
        struct stat status
        {
        };
        QCOMPARE(::stat(QFile::encodeName(station.stateDir.filePath(u"token"_s)).constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, 0600u);
        QCOMPARE(station.token.size(), 64);

        const HttpAnswer none = station.request("POST", u"/api/v1/runs"_s, "{}", false);
        QCOMPARE(none.status, 401);
        QCOMPARE(none.headers.value("www-authenticate"), QByteArray("Bearer"));
        QCOMPARE(none.error(), u"unauthorized"_s);
        const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(station.port) + "\r\n";
        QByteArray wrong = station.token;
        wrong[10] = wrong[10] == 'a' ? 'b' : 'a';
        for (const QByteArray& header :
             {"Authorization: Bearer " + wrong, "Authorization: Basic " + station.token,
              QByteArray("Authorization: Bearer"), QByteArray("Cookie: token=x")})
            QCOMPARE(StationProcess::statusOf(station.raw("DELETE /api/v1/runs/abc HTTP/1.1\r\n" + host +
                                                          header + "\r\nConnection: close\r\n\r\n")),
                     401);
        // Reads on loopback need no token; the page never does.
        const HttpAnswer read = station.request("GET", u"/api/v1/runs"_s, {}, false);
        QCOMPARE(read.status, 200);
        for (const auto& [name, value] :
             {std::pair{"x-content-type-options", "nosniff"}, std::pair{"referrer-policy", "no-referrer"},
              std::pair{"cache-control", "no-store"}})
            QCOMPARE(read.headers.value(name), QByteArray(value));
        QVERIFY(read.headers.value("content-security-policy").contains("frame-ancestors 'none'"));
        QVERIFY(!read.headers.contains("access-control-allow-origin"));
        QVERIFY(!read.headers.contains("set-cookie"));

        const QByteArray preflight =
            station.raw("OPTIONS /api/v1/runs HTTP/1.1\r\n" + host +
                        "Origin: http://evil.example\r\nAccess-Control-Request-Method: POST\r\n"
                        "Connection: close\r\n\r\n");
        QCOMPARE(StationProcess::statusOf(preflight), 405);
        QVERIFY(!preflight.toLower().contains("access-control-allow"));

        const HttpAnswer page = station.request("GET", u"/"_s, {}, false);
        QCOMPARE(page.status, 200);
        QVERIFY(page.headers.value("content-type").startsWith("text/html"));
        QCOMPARE(station.get(u"/app.js"_s).headers.value("content-type"),
                 QByteArray("text/javascript; charset=utf-8"));
        QCOMPARE(station.get(u"/no-such-page.html"_s).status, 404);
        const HttpAnswer api = station.get(u"/api/v1/openapi.json"_s);
        QCOMPARE(api.status, 200);
        QCOMPARE(api.json().value(u"openapi"_s).toString().left(2), u"3."_s);
    }

    // Every changing path tried with an operator's token, an administrator's, a revoked one and
    // none: operators run, administrators also change what is installed; every attempt is in the
    // audit with its status; the token's text is kept in no file but STATE_DIR/token.
    void rolesAndAudit()
    {
        QTemporaryDir dir;
        QFile fixtures(dir.filePath(u"fixtures"_s));
        QVERIFY(fixtures.open(QIODevice::WriteOnly));
        fixtures.write("f1 127.0.0.1:" + QByteArray::number(closedPort()) + "\n");
        fixtures.close();
        StationProcess station;
        QVERIFY2(station.start({u"--fixtures"_s, fixtures.fileName()}), station.err.constData());
        QByteArray operatorToken, revoked;
        QCOMPARE(station.tokenCommand({u"add"_s, u"line3"_s, u"--role"_s, u"operator"_s}, &operatorToken), 0);
        QCOMPARE(station.tokenCommand({u"add"_s, u"gone"_s, u"--role"_s, u"admin"_s}, &revoked), 0);
        QCOMPARE(operatorToken.size(), 64);
        QCOMPARE(station.tokenCommand({u"add"_s, u"line3"_s, u"--role"_s, u"admin"_s}),
                 1); // the name is taken
        QCOMPARE(station.tokenCommand({u"add"_s, u"x"_s, u"--role"_s, u"boss"_s}), 2);
        QCOMPARE(station.tokenCommand({u"revoke"_s, u"gone"_s}), 0);
        QCOMPARE(station.requestAs(operatorToken, "GET", u"/api/v1/session"_s).json(),
                 (QJsonObject{{u"token"_s, u"line3"_s}, {u"role"_s, u"operator"_s}}));

        const std::unique_ptr<SimulatedUnit> unit = SimulatedUnits::listening();
        const QString sha256 = upload(station);
        const QString run = station.request("POST", u"/api/v1/runs"_s, runBody(sha256, {address(*unit)}))
                                .json()
                                .value(u"id"_s)
                                .toString();
        QCOMPARE(waitForRunEnd(station, run).value(u"state"_s).toString(), u"finished"_s);

        struct Attempt
        {
            QByteArray method;
            QString path;
            QByteArray body;
            bool adminOnly;
        };
        const QList<Attempt> attempts{
            {"POST", u"/api/v1/firmware?name=again.hex"_s, m_firmware, true},
            {"PUT", u"/api/v1/firmware/%1/signature"_s.arg(sha256), "not a signature", true},
            {"POST", u"/api/v1/runs"_s, runBody(sha256, {address(*unit)}), false},
            {"POST", u"/api/v1/runs/%1/retry"_s.arg(run), {}, false},
            {"DELETE", u"/api/v1/runs/%1"_s.arg(run), {}, false},
            {"POST", u"/api/v1/fixtures/f1/watch"_s, "{\"firmware\":\"" + sha256.toLatin1() + "\"}", false},
            {"POST", u"/api/v1/fixtures/f1/serial"_s, "{\"serial\":\"40-1187\"}", false},
            {"DELETE", u"/api/v1/fixtures/f1/watch"_s, {}, false},
            {"GET", u"/api/v1/audit"_s, {}, true},
            {"DELETE", u"/api/v1/firmware/%1"_s.arg(sha256), {}, true},
        };
        const QList<std::pair<QString, QByteArray>> callers{{QString(), QByteArray()},
                                                            {QString(), revoked},
                                                            {u"line3"_s, operatorToken},
                                                            {u"admin"_s, station.token}};
        QMultiHash<QString, int> expected; // "token method path" and the status
        for (const Attempt& attempt : attempts)
            for (const auto& [name, token] : callers) {
                const HttpAnswer answer = station.requestAs(
                    token, attempt.method, attempt.path, attempt.body,
                    attempt.path.contains(u"firmware?"_s) ? "application/octet-stream" : "application/json");
                const int wanted = token.isEmpty() || token == revoked       ? 401
                                   : name == u"line3"_s && attempt.adminOnly ? 403
                                                                             : 0;
                if (wanted != 0)
                    QVERIFY2(answer.status == wanted, qPrintable(attempt.path + u" %1"_s.arg(answer.status)));
                else
                    QVERIFY2(answer.status < 400 || (answer.status != 401 && answer.status != 403),
                             qPrintable(attempt.path + u" %1"_s.arg(answer.status)));
                if (attempt.method != "GET" || wanted != 0)
                    expected.insert(name + u' ' + QString::fromLatin1(attempt.method) + u' ' +
                                        QUrl(attempt.path).path(),
                                    answer.status);
            }
        // The upload and the run before the attempts, by the administrator.
        expected.insert(u"admin POST /api/v1/firmware"_s, 201);
        expected.insert(u"admin POST /api/v1/runs"_s, 201);

        QMultiHash<QString, int> audited;
        QJsonArray entries;
        QVERIFY(waitUntil(
            [&] {
                entries = station.get(u"/api/v1/audit?limit=1000"_s).json().value(u"entries"_s).toArray();
                return entries.size() >= expected.size();
            },
            10000));
        for (const QJsonValue& value : entries) {
            const QJsonObject entry = value.toObject();
            audited.insert(entry.value(u"token"_s).toString() + u' ' + entry.value(u"method"_s).toString() +
                               u' ' + entry.value(u"path"_s).toString(),
                           entry.value(u"status"_s).toInt());
            QCOMPARE(entry.value(u"client"_s).toString(), u"127.0.0.1"_s);
        }
        QCOMPARE(audited, expected);
        QCOMPARE(station.requestAs(operatorToken, "GET", u"/api/v1/audit?token=line3"_s).status, 403);

        // Who started each update.
        const QJsonArray rows = station.get(u"/api/v1/updates"_s).json().value(u"updates"_s).toArray();
        QStringList startedBy;
        for (const QJsonValue& row : rows)
            startedBy << row.toObject().value(u"started_by"_s).toString();
        QVERIFY(startedBy.contains(u"admin"_s));
        QVERIFY(startedBy.contains(u"line3"_s));

        QVERIFY(station.stop());
        QByteArray listed;
        QCOMPARE(station.tokenCommand({u"list"_s}, &listed), 0);
        const QList<QByteArray> lines = listed.split('\n');
        QCOMPARE(lines.size(), 3); // the heading, admin and line3; gone is revoked
        QVERIFY(lines.at(2).startsWith("line3 ") && lines.at(2).contains(" operator "));
        QVERIFY2(!lines.at(2).endsWith("never"),
                 lines.at(2).constData()); // its last use was written at the end
        const QDir state(station.stateDir.path());
        for (const QString& name : state.entryList(QDir::Files)) {
            QFile file(state.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray contents = file.readAll();
            QVERIFY2(!contents.contains(operatorToken) && !contents.contains(revoked), qPrintable(name));
            QVERIFY2(name == u"token"_s || !contents.contains(station.token), qPrintable(name));
        }
    }

    // More than ten wrong tokens a minute from one address: 429 for a minute, the right token
    // included; the lock-out is in the audit.
    void guessingIsLockedOut()
    {
        StationProcess station;
        QVERIFY2(station.start(), station.err.constData());
        for (int i = 0; i < 10; ++i)
            QCOMPARE(
                station.requestAs("wrong" + QByteArray::number(i), "DELETE", u"/api/v1/runs/abc"_s).status,
                401);
        const HttpAnswer locked = station.requestAs("wrong", "DELETE", u"/api/v1/runs/abc"_s);
        QCOMPARE(locked.status, 429);
        QCOMPARE(locked.headers.value("retry-after"), QByteArray("60"));
        QCOMPARE(station.get(u"/api/v1/audit"_s).status, 429);
        QCOMPARE(station.request("GET", u"/healthz"_s).status, 200);
        QVERIFY(station.stop());
        QVERIFY(station.restart());
        const QJsonArray entries = station.get(u"/api/v1/audit"_s).json().value(u"entries"_s).toArray();
        QCOMPARE(entries.size(), 11);
        QCOMPARE(entries.first().toObject().value(u"status"_s).toInt(), 429); // newest first
    }

    // A known path with a method it does not take answers 405 with the methods it does take; HEAD
    // goes wherever GET does; anything else under /api is no path at all, whatever the method.
    void methodsOfEachPath()
    {
        StationProcess station;
        QVERIFY2(station.start(), station.err.constData());
        const QString firmware = u"/api/v1/firmware/"_s + QString(64, u'a');
        for (const auto& [path, allowed] :
             {std::pair{u"/api/v1/firmware"_s, "GET, HEAD, POST"}, std::pair{firmware, "GET, HEAD, DELETE"},
              std::pair{u"/api/v1/runs/"_s, "GET, HEAD, POST"},
              std::pair{u"/api/v1/runs/abc"_s, "GET, HEAD, DELETE"}, std::pair{u"/api/v1/events"_s, "GET"},
              std::pair{u"/api/v1/updates"_s, "GET, HEAD"}, std::pair{u"/api/v1/updates/1"_s, "GET, HEAD"},
              std::pair{u"/api/v1/status"_s, "GET, HEAD"}, std::pair{u"/api/v1/openapi.json"_s, "GET, HEAD"},
              std::pair{u"/"_s, "GET, HEAD"}, std::pair{u"/no-such-page.html"_s, "GET, HEAD"}}) {
            const HttpAnswer answer = station.request("PUT", path);
            QVERIFY2(answer.status == 405, qPrintable(path));
            QCOMPARE(answer.headers.value("allow"), QByteArray(allowed));
            QCOMPARE(answer.error(), u"method-not-allowed"_s);
        }
        const HttpAnswer options = station.request("OPTIONS", u"/api/v1/status"_s);
        QCOMPARE(options.status, 405);
        QCOMPARE(options.headers.value("allow"), QByteArray("GET, HEAD, POST, DELETE, PUT"));

        const auto head = [&](const QString& path) {
            return StationProcess::statusOf(
                station.raw("HEAD " + path.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                            QByteArray::number(station.port) + "\r\nConnection: close\r\n\r\n"));
        };
        QCOMPARE(head(u"/api/v1/status"_s), 200);
        QCOMPARE(head(firmware), 404);
        for (const QByteArray& method : {QByteArray("GET"), QByteArray("PUT"), QByteArray("DELETE")}) {
            for (const QString& path : {u"/api/v1/nothing"_s, u"/api/v2/runs"_s, u"/api/v1/runs/abc/x"_s}) {
                const HttpAnswer answer = station.request(method, path);
                QVERIFY2(answer.status == 404, qPrintable(QString::fromLatin1(method) + u' ' + path));
                QCOMPARE(answer.error(), u"not-found"_s);
            }
        }
    }

    // A page elsewhere that rebinds its name to 127.0.0.1 sends its own name as Host.
    void foreignHostIsRefused()
    {
        StationProcess station;
        QVERIFY2(station.start({u"--server-name"_s, u"station.example"_s}), station.err.constData());
        const QByteArray port = QByteArray::number(station.port);
        for (const QByteArray& host : {QByteArray("evil.example"), "evil.example:" + port,
                                       "127.0.0.1:1" + port, QByteArray("127.0.0.1.evil.example")})
            QCOMPARE(StationProcess::statusOf(station.rawGet("/api/v1/runs", host)), 421);
        for (const QByteArray& host : {"127.0.0.1:" + port, QByteArray("localhost"), "LOCALHOST:" + port,
                                       "[::1]:" + port, QByteArray("station.example")})
            QCOMPARE(StationProcess::statusOf(station.rawGet("/api/v1/runs", host)), 200);
        QCOMPARE(StationProcess::statusOf(station.rawGet("/", "evil.example")), 421);
    }

    void pathsWithDotDot()
    {
        StationProcess station;
        QVERIFY2(station.start(), station.err.constData());
        for (const QByteArray& path :
             {QByteArray("/../token"), QByteArray("/%2e%2e/token"), QByteArray("/static/..%2F..%2Ftoken"),
              QByteArray("/api/v1/firmware/%2E%2E%2Ftoken"), QByteArray("/api/v1/../../token")}) {
            const QByteArray response = station.rawGet(path);
            QCOMPARE(StationProcess::statusOf(response), 400);
            QVERIFY(!response.contains(station.token));
        }
    }

    void malformedRunRequests()
    {
        StationProcess station;
        QVERIFY2(station.start(), station.err.constData());
        const QString sha256 = upload(station);
        const QList<std::pair<QByteArray, QString>> cases{
            {"{\"firmware\": ", u"bad-json"_s},
            {"[1, 2]", u"bad-json"_s},
            {runBody(sha256, {u"127.0.0.1:1"_s}, {{u"repeat"_s, 2}}), u"unknown-field"_s},
            {runBody(sha256, {}), u"bad-units"_s},
            {runBody(sha256, {u"127.0.0.1:99999"_s}), u"bad-units"_s},
            {"{\"firmware\": \"" + sha256.toLatin1() + "\", \"units\": \"127.0.0.1:1\"}", u"bad-units"_s},
            {"{\"firmware\": \"" + sha256.toLatin1() + "\", \"units\": [5]}", u"bad-units"_s},
            {runBody(u"abc"_s, {u"127.0.0.1:1"_s}), u"bad-sha256"_s},
            {runBody(sha256, {u"127.0.0.1:1"_s}, {{u"parallel"_s, u"2"_s}}), u"bad-parallel"_s},
            {runBody(sha256, {u"127.0.0.1:1"_s}, {{u"parallel"_s, 0}}), u"bad-parallel"_s},
            {runBody(sha256, {u"127.0.0.1:1"_s}, {{u"product"_s, u"toaster"_s}}), u"bad-product"_s},
            {runBody(sha256, {u"127.0.0.1:1"_s}, {{u"retries"_s, 11}}), u"bad-retries"_s},
            {runBody(sha256, {u"127.0.0.1:1"_s}, {{u"lot"_s, u" "_s}}), u"bad-lot"_s},
            {"{\"firmware\": \"" + sha256.toLatin1() +
                 "\", \"units\": [{\"unit\": \"127.0.0.1:1\", \"serial\": \"\\u0007\"}]}",
             u"bad-serial"_s},
            {"{\"firmware\": \"" + sha256.toLatin1() +
                 "\", \"units\": [{\"unit\": \"127.0.0.1:1\", \"port\": 1}]}",
             u"bad-units"_s},
        };
        for (const auto& [body, code] : cases) {
            const HttpAnswer answer = station.request("POST", u"/api/v1/runs"_s, body);
            QCOMPARE(answer.status, 400);
            QCOMPARE(answer.error(), code);
            QVERIFY(!answer.json().value(u"message"_s).toString().isEmpty());
        }
        QVERIFY(station.get(u"/api/v1/runs"_s).json().value(u"runs"_s).toArray().isEmpty());
    }

    // Connections that send nothing cost a slot only until the idle time-out closes them.
    void idleConnectionsAreClosed()
    {
        StationProcess station;
        QVERIFY2(station.start({u"--idle-timeout"_s, u"1"_s, u"--max-connections-per-client"_s, u"300"_s,
                                u"--max-connections"_s, u"300"_s}),
                 station.err.constData());
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = 0; i < 200; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->connectToHost(QHostAddress::LocalHost, station.port);
        }
        // Half of them start a request and stop half-way through its headers.
        QVERIFY(waitUntil(
            [&] {
                return std::all_of(sockets.begin(), sockets.end(), [](const auto& s) {
                    return s->state() == QAbstractSocket::ConnectedState;
                });
            },
            10000));
        for (size_t i = 0; i < sockets.size(); i += 2)
            sockets[i]->write("GET /api/v1/runs HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        QVERIFY(waitUntil(
            [&] {
                return std::all_of(sockets.begin(), sockets.end(), [](const auto& s) {
                    return s->state() == QAbstractSocket::UnconnectedState;
                });
            },
            15000));
        QCOMPARE(station.get(u"/api/v1/runs"_s).status, 200);
    }

    // --tls-cert and --tls-key: HTTPS, and nothing in the clear on that port.
    void tls()
    {
        const QString openssl = QStandardPaths::findExecutable(u"openssl"_s);
        if (openssl.isEmpty() || !QSslSocket::supportsSsl())
            QSKIP("needs openssl to make a certificate and Qt's TLS backend");
        QTemporaryDir keys;
        const QString cert = keys.filePath(u"cert.pem"_s);
        const QString key = keys.filePath(u"key.pem"_s);
        QCOMPARE(QProcess::execute(openssl, {u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s,
                                             u"-keyout"_s, key, u"-out"_s, cert, u"-days"_s, u"2"_s,
                                             u"-subj"_s, u"/CN=127.0.0.1"_s}),
                 0);
        StationProcess station;
        QVERIFY2(station.start({u"--tls-cert"_s, cert, u"--tls-key"_s, key}), station.err.constData());
        QVERIFY(station.url.startsWith(u"https://"_s));

        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        QByteArray received;
        QObject::connect(&socket, &QSslSocket::readyRead, &socket, [&] { received += socket.readAll(); });
        socket.connectToHostEncrypted(u"127.0.0.1"_s, station.port);
        QVERIFY(waitUntil([&] { return socket.isEncrypted(); }, 10000));
        socket.write("GET /api/v1/runs HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(station.port) +
                     "\r\nConnection: close\r\n\r\n");
        QVERIFY(waitUntil([&] { return received.contains("{\"runs\":[]}"); }, 10000));
        QCOMPARE(StationProcess::statusOf(received), 200);

        QVERIFY(!station.rawGet("/api/v1/runs", {}).startsWith("HTTP/"));
    }

    void tokenFileReadableByOthers()
    {
        StationProcess first;
        QVERIFY(first.start());
        ::kill(pid_t(first.pid()), SIGTERM);
        QVERIFY(first.waitForExit(10000));
        QCOMPARE(first.process.exitCode(), 0);

        StationProcess again;
        QFile::copy(first.stateDir.filePath(u"token"_s), again.stateDir.filePath(u"token"_s));
        QFile::setPermissions(again.stateDir.filePath(u"token"_s), QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(again.start());
        QCOMPARE(again.token, first.token);
        ::kill(pid_t(again.pid()), SIGTERM);
        QVERIFY(again.waitForExit(10000));

        QFile::setPermissions(again.stateDir.filePath(u"token"_s),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        StationProcess refused;
        refused.process.setProgram(QStringLiteral(UPLOADER_STATION_TEST));
        refused.process.start(QStringLiteral(UPLOADER_STATION_TEST),
                              {u"--listen"_s, u"127.0.0.1:0"_s, u"--state-dir"_s, again.stateDir.path()});
        QVERIFY(refused.waitForExit(10000));
        QCOMPARE(refused.process.exitCode(), 1);
        QVERIFY2(refused.err.contains("chmod 600"), refused.err.constData());
    }
};

QTEST_GUILESS_MAIN(StationTest)
#include "tst_station.moc"
