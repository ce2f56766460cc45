// Nothing lost from the record when a shared history blinks: uploader-cli and the station against
// a PostgreSQL server of this test's own, which it stops at once (as a crash or a power cut would)
// and starts again. Every update is in this computer's journal first; the next program here sends
// what waits, a row twice is one row, and only an update whose program died is abandoned.
#include "CliProcess.h"
#include "HexFile.h"
#include "OwnPostgresServer.h"
#include "SimulatedUnits.h"
#include "StationProcess.h"
#include "TestHistories.h"
#include "WaitUntil.h"

#include "history/HistoryReader.h"
#include "history/UpdateHistory.h"

#include <QJsonArray>
#include <QProcess>
#include <QSqlQuery>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using SimulatedUnits::address;

namespace {

const QString Scale = u"0.02"_s;

QList<QJsonObject> eventsNamed(const CliProcess& cli, const QString& name)
{
    QList<QJsonObject> matching;
    for (const QJsonObject& event : cli.events())
        if (event.value(u"event"_s).toString() == name)
            matching << event;
    return matching;
}

// Standard error holds the program's own lines only: each starts with its name (the station's
// after its syslog priority, "<4>").
bool onlyOwnLines(const QByteArray& err, const QByteArray& program)
{
    for (QByteArray line : err.split('\n')) {
        if (line.size() > 3 && line.at(0) == '<' && line.at(2) == '>')
            line.remove(0, 3);
        if (!line.isEmpty() && !line.startsWith(program + ": "))
            return false;
    }
    return true;
}

} // namespace

class JournalTest : public QObject
{
    Q_OBJECT

    OwnPostgresServer m_postgres{QStringLiteral(POSTGRES_FIXTURE)};
    QTemporaryDir m_files;
    QString m_firmware;
    int m_database = 0;

    void pause() { QVERIFY(m_postgres.pause()); }
    void resume() { QVERIFY(m_postgres.resume()); }

    // A database of its own for each test, on this test's server.
    HistoryLocation freshHistory() { return m_postgres.freshHistory(u"journal_%1"_s.arg(++m_database)); }

    static QList<UpdateRecord> serverRows(const HistoryLocation& location)
    {
        return OwnPostgresServer::rowsOnServer(location);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_postgres.start());
        if (!m_postgres.skipReason().isEmpty())
            QSKIP(qPrintable(u"PostgreSQL tests skipped: "_s + m_postgres.skipReason()));
        m_firmware = m_files.filePath(u"fw.hex"_s);
        QFile file(m_firmware);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(HexFile::join(HexFile::plain(200)));
    }

    void cleanupTestCase() { m_postgres.stop(); }

    // A test that fails while the server is down leaves it up for the next.
    void cleanup()
    {
        if (m_postgres.paused())
            resume();
    }

    // The server stops shortly after the start: both updates are still reported and on record
    // here; the program says what waits as it ends; the next program on this computer sends it,
    // with every row's true outcome, records and end.
    void outageMidRunThenTheNextProgramForwards()
    {
        const HistoryLocation history = freshHistory();
        auto first = SimulatedUnits::listening();
        auto second = SimulatedUnits::listening();
        first->setLatencyMs(2);
        second->setLatencyMs(2);
        CliProcess cli;
        cli.start({u"--json"_s, u"--time-scale"_s, Scale, u"--history"_s, history.display(), u"--unit"_s,
                   address(*first), u"--unit"_s, address(*second), m_firmware});
        QVERIFY(waitUntil([&] { return first->report().cumulative().recordsAccepted > 20; }, 20000));
        pause();
        QVERIFY(cli.waitForExit(60000));
        QCOMPARE(cli.process.exitCode(), 0);
        for (const QJsonObject& finished : eventsNamed(cli, u"finished"_s))
            QCOMPARE(finished.value(u"outcome"_s).toString(), u"succeeded"_s);
        const QList<QJsonObject> warnings = eventsNamed(cli, u"warning"_s);
        QVERIFY2(!warnings.isEmpty() &&
                     warnings.last()
                         .value(u"message"_s)
                         .toString()
                         .startsWith(u"2 updates recorded on this computer, not yet in the history at "_s),
                 cli.err.constData());
        QVERIFY2(cli.err.count("recorded on this computer") == 1, cli.err.constData());
        QVERIFY2(onlyOwnLines(cli.err, "uploader-cli"), cli.err.constData());
        resume();

        // The next program here: another run, which sends what waits beside its own.
        auto third = SimulatedUnits::listening();
        CliProcess next;
        next.shareHomeWith(cli);
        QCOMPARE(next.run({u"--time-scale"_s, Scale, u"--history"_s, history.display(), u"--unit"_s,
                           address(*third), m_firmware}),
                 0);
        QVERIFY2(onlyOwnLines(next.err, "uploader-cli"), next.err.constData());
        const QList<UpdateRecord> rows = serverRows(history);
        QCOMPARE(rows.size(), 3);
        for (const UpdateRecord& row : rows) {
            QCOMPARE(row.outcome, u"succeeded"_s);
            QCOMPARE(row.recordsSent, 201);
            QVERIFY(row.ended.isValid());
            QVERIFY(!row.waiting);
        }
    }

    // kill -9 while the server is down: the update never finished, so once its row is sent it
    // says abandoned; `history --forward` says what went.
    void killedDuringTheOutageIsAbandonedOnceForwarded()
    {
        const HistoryLocation history = freshHistory();
        QVERIFY(UpdateHistory::checkWritable(history).ok()); // the tables are there
        pause();
        auto unit = SimulatedUnits::listening();
        unit->setLatencyMs(5);
        CliProcess cli;
        cli.start({u"--json"_s, u"--time-scale"_s, Scale, u"--history"_s, history.display(), u"--unit"_s,
                   address(*unit), m_firmware});
        QVERIFY(waitUntil([&] { return unit->report().cumulative().recordsAccepted > 20; }, 20000));
        QVERIFY(waitUntil([&] { return QFile::exists(cli.journal()); }, 20000));
        ::kill(pid_t(cli.pid()), SIGKILL);
        QVERIFY(cli.waitForExit(10000));
        resume();

        CliProcess forward;
        forward.shareHomeWith(cli);
        QCOMPARE(forward.run({u"history"_s, u"--history"_s, history.display(), u"--forward"_s}), 0);
        QVERIFY2(forward.out.startsWith("1 update sent to the history at ") &&
                     forward.out.contains("; 0 updates waiting on this computer."),
                 forward.out.constData());
        const QList<UpdateRecord> rows = serverRows(history);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().outcome, u"abandoned"_s);
        QVERIFY(!rows.first().ended.isValid());
    }

    // The station stopped and started again while the server is down: its finished updates wait
    // in its journal, it says so as it stops, and once the server is back every row is there.
    void stationRestartedDuringAnOutageLosesNothing()
    {
        const HistoryLocation history = freshHistory();
        QVERIFY(UpdateHistory::checkWritable(history).ok());
        StationProcess station;
        QVERIFY2(station.start({u"--history"_s, history.display()}), station.err.constData());
        pause();
        QFile file(m_firmware);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString sha256 = station
                                   .request("POST", u"/api/v1/firmware?name=fw.hex"_s, file.readAll(), true,
                                            "application/octet-stream")
                                   .json()
                                   .value(u"sha256"_s)
                                   .toString();
        auto a = SimulatedUnits::listening();
        auto b = SimulatedUnits::listening();
        const QByteArray body = QJsonDocument(QJsonObject{{u"firmware"_s, sha256},
                                                          {u"units"_s, QJsonArray{address(*a), address(*b)}}})
                                    .toJson();
        const QString run = station.request("POST", u"/api/v1/runs"_s, body).json().value(u"id"_s).toString();
        QVERIFY(waitUntil(
            [&] {
                return station.get(u"/api/v1/runs/"_s + run).json().value(u"state"_s).toString() ==
                       u"finished"_s;
            },
            30000));
        // Said where the station is watched: its status, for the dashboard's notice.
        QJsonObject status;
        QVERIFY(waitUntil(
            [&] {
                status = station.get(u"/api/v1/status"_s).json().value(u"history"_s).toObject();
                return status.value(u"waiting"_s).toInt() == 2;
            },
            20000));
        QVERIFY(!status.value(u"oldest_waiting"_s).toString().isEmpty());
        ::kill(pid_t(station.pid()), SIGTERM);
        QVERIFY(station.waitForExit(20000));
        QVERIFY2(station.err.contains("2 updates recorded on this computer, not yet in the history"),
                 station.err.constData());
        QVERIFY2(onlyOwnLines(station.err, "uploader-station"), station.err.constData());

        QVERIFY(station.restart());
        resume();
        QVERIFY(waitUntil([&] { return serverRows(history).size() == 2; }, 30000));
        for (const UpdateRecord& row : serverRows(history)) {
            QCOMPARE(row.outcome, u"succeeded"_s);
            QCOMPARE(row.runId, run);
        }
    }

    // Two programs send the same waiting rows at once: each update is one row, and so is each
    // audit entry recorded while the server was down.
    void twoForwardersAtOnceLeaveOneRowEach()
    {
        const HistoryLocation history = freshHistory();
        QVERIFY(UpdateHistory::checkWritable(history).ok());
        CliProcess home;
        HistoryLocation recorded = history;
        recorded.setJournalFile(home.journal());
        pause();
        {
            UpdateHistory writer;
            writer.open(recorded);
            for (int i = 0; i < 300; ++i) {
                UpdateRecord record;
                record.unitHost = u"10.0.4.20"_s;
                record.unitPort = 23;
                record.log = u"line %1"_s.arg(i);
                writer.finish(writer.begin(record), {u"succeeded"_s, {}, {}, 1, 10});
            }
            for (int i = 0; i < 30; ++i)
                writer.audit(
                    {0, {}, {}, {}, u"line-3"_s, u"127.0.0.1"_s, u"POST"_s, u"/api/v1/runs"_s, {}, 201});
            writer.close(100);
            QCOMPARE(writer.waitingAtClose(), 300);
        }
        resume();
        std::vector<std::unique_ptr<CliProcess>> forwarders;
        for (int i = 0; i < 2; ++i) {
            forwarders.push_back(std::make_unique<CliProcess>());
            forwarders.back()->shareHomeWith(home);
            forwarders.back()->start({u"history"_s, u"--history"_s, history.display(), u"--forward"_s});
        }
        for (auto& forwarder : forwarders) {
            QVERIFY(forwarder->waitForExit(60000));
            QCOMPARE(forwarder->process.exitCode(), 0);
        }
        QSqlQuery count(TestHistories::inspect(history));
        QVERIFY(count.exec(u"SELECT count(*), count(DISTINCT uuid) FROM updates"_s) && count.next());
        QCOMPARE(count.value(0).toInt(), 300);
        QCOMPARE(count.value(1).toInt(), 300);
        QVERIFY(count.exec(u"SELECT count(*), count(DISTINCT uuid) FROM audit WHERE token = 'line-3'"_s) &&
                count.next());
        QCOMPARE(count.value(0).toInt(), 30);
        QCOMPARE(count.value(1).toInt(), 30);
        // And nothing waits any more.
        CliProcess after;
        after.shareHomeWith(home);
        QCOMPARE(after.run({u"history"_s, u"--history"_s, history.display(), u"--forward"_s}), 0);
        QVERIFY2(after.out.startsWith("0 updates sent"), after.out.constData());
    }

    // What a person sees while the server is down: the rows waiting here, marked, and the reason.
    void listingShowsWhatWaits()
    {
        const HistoryLocation history = freshHistory();
        QVERIFY(UpdateHistory::checkWritable(history).ok());
        pause();
        auto unit = SimulatedUnits::listening();
        CliProcess cli;
        QCOMPARE(cli.run({u"--time-scale"_s, Scale, u"--history"_s, history.display(), u"--unit"_s,
                          address(*unit), m_firmware}),
                 0);
        CliProcess list;
        list.shareHomeWith(cli);
        QCOMPARE(list.run({u"history"_s, u"--history"_s, history.display()}), 1);
        QVERIFY2(list.out.contains("succeeded") &&
                     list.out.contains("* recorded on this computer, not yet in"),
                 list.out.constData());
        QVERIFY2(list.err.contains("cannot be reached"), list.err.constData());
        QVERIFY2(onlyOwnLines(list.err, "uploader-cli"), list.err.constData());
        resume();
    }

    // The program's own lines only, whatever it does.
    void standardErrorIsTheProgramsOwn()
    {
        CliProcess check(CliProcess::Build::Shipped);
        QCOMPARE(check.run({u"--check"_s, m_firmware}), 0);
        QCOMPARE(check.err, QByteArray());
        CliProcess version(CliProcess::Build::Shipped);
        QCOMPARE(version.run({u"--version"_s}), 0);
        QCOMPARE(version.err, QByteArray());
        auto unit = SimulatedUnits::listening(u"refuse:02@5"_s);
        CliProcess run;
        QCOMPARE(
            run.run({u"--time-scale"_s, Scale, u"--no-history"_s, u"--unit"_s, address(*unit), m_firmware}),
            1);
        QVERIFY2(onlyOwnLines(run.err, "uploader-cli"), run.err.constData());
    }
};

QTEST_GUILESS_MAIN(JournalTest)
#include "tst_journal.moc"
