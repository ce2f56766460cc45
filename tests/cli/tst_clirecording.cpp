// uploader-cli's recording in an SQLite history as a person meets it: where it goes by default,
// histories that cannot be used (the update runs all the same), a process killed mid-update,
// --log-dir, the history command's usage errors, and the production line's serials, lots, retries,
// run ids, --failed-from and --watch.
#include "CliProcess.h"
#include "HexFile.h"
#include "SimulatedUnits.h"
#include "TestHistories.h"
#include "WaitUntil.h"

#include "cli/UpdateLogFiles.h"
#include "history/HistoryReader.h"
#include "history/HistorySchema.h"
#include "history/UpdateHistory.h"
#include "unitsim/Fault.h"
#include "unitsim/SimulatedUnit.h"

#include <QDir>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <memory>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Scale = u"0.02"_s;

using SimulatedUnits::address;

QList<QJsonObject> ofEvent(const QList<QJsonObject>& events, const QString& name)
{
    QList<QJsonObject> matching;
    for (const QJsonObject& event : events)
        if (event.value(u"event"_s).toString() == name)
            matching << event;
    return matching;
}

using SimulatedUnits::closedPort;

} // namespace

class CliRecordingTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_serial = 0;

    QString writeFile(const QString& name, const QByteArray& contents)
    {
        QFile file(m_dir.filePath(name));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(contents);
        return file.fileName();
    }

    QString firmware(int records = 30)
    {
        return writeFile(u"firmware.hex"_s, HexFile::join(HexFile::plain(records)));
    }

    QString freshPath(const QString& name = u"history.sqlite"_s)
    {
        const QString folder = m_dir.filePath(u"h%1"_s.arg(++m_serial));
        QDir().mkpath(folder);
        return QDir(folder).filePath(name);
    }

    // A history with one complete row, closed.
    QString goodHistory()
    {
        const QString path = freshPath();
        UpdateHistory history;
        history.open(HistoryLocation::sqliteFile(path));
        UpdateRecord record;
        record.frontend = u"cli"_s;
        record.unitHost = u"10.9.9.9"_s;
        history.finish(history.begin(record), {u"succeeded"_s, {}, {}, 1, 1});
        history.close();
        return path;
    }

    // What a history location becomes for the trouble cases; empty when the case needs none.
    QString troubled(const QString& kind)
    {
        if (kind == u"corrupt"_s) {
            const QString path = goodHistory();
            QFile file(path);
            file.open(QIODevice::ReadWrite);
            file.seek(100);
            file.write(QByteArray(3000, '\x5a'));
            return path;
        }
        if (kind == u"newer schema"_s) {
            const QString path = goodHistory();
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"tamper"_s);
                db.setDatabaseName(path);
                db.open();
                QSqlQuery(db).exec(
                    u"UPDATE schema_version SET version = %1"_s.arg(HistorySchema::currentVersion() + 5));
                db.close();
            }
            QSqlDatabase::removeDatabase(u"tamper"_s);
            return path;
        }
        if (kind == u"unreachable server"_s)
            return u"postgresql://nobody@127.0.0.1:%1/x?connect_timeout=2"_s.arg(closedPort());
        return u"postgresql://"_s; // not a location at all
    }

private slots:
    // ---- where it goes ---------------------------------------------------------------------------

    void recordsToTheDefaultUnlessToldNotTo()
    {
        auto unit = SimulatedUnits::listening();
        const QString hex = firmware();
        CliProcess cli;
        QCOMPARE(cli.run({u"--time-scale"_s, Scale, u"--unit"_s, address(*unit), hex}), 0);
        const QList<UpdateRecord> rows =
            TestHistories::allRows(HistoryLocation::sqliteFile(cli.defaultHistory()));
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().outcome, u"succeeded"_s);

        // UPLOADER_HISTORY, when --history is not given.
        const QString fromEnvironment = freshPath();
        CliProcess environment;
        environment.setEnvironment(u"UPLOADER_HISTORY"_s, u"sqlite://"_s + fromEnvironment);
        QCOMPARE(environment.run({u"--time-scale"_s, Scale, u"--unit"_s, address(*unit), hex}), 0);
        QCOMPARE(TestHistories::allRows(HistoryLocation::sqliteFile(fromEnvironment)).size(), 1);
        QVERIFY(!QFile::exists(environment.defaultHistory()));

        CliProcess none;
        QCOMPARE(none.run({u"--no-history"_s, u"--time-scale"_s, Scale, u"--unit"_s, address(*unit), hex}),
                 0);
        QVERIFY(!QFile::exists(none.defaultHistory()));
        QVERIFY(!QDir(none.home.path()).exists(u".local/share/FirmwareUploader"_s));

        CliProcess both;
        QCOMPARE(both.run({u"--no-history"_s, u"--history-required"_s, u"--unit"_s, address(*unit), hex}), 2);
        CliProcess help;
        QCOMPARE(help.run({u"--help"_s}), 0);
        QVERIFY(help.out.contains("--no-history") && help.out.contains("--history URL") &&
                help.out.contains("--log-dir DIR"));
    }

    // ---- histories that cannot be used ---------------------------------------------------------

    void unusableHistoryWarnsAndTheUpdateRuns_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("corrupt file") << u"corrupt"_s;
        QTest::newRow("newer schema") << u"newer schema"_s;
        QTest::newRow("unreachable server") << u"unreachable server"_s;
        QTest::newRow("invalid UPLOADER_HISTORY") << u"invalid"_s;
    }

    void unusableHistoryWarnsAndTheUpdateRuns()
    {
        QFETCH(QString, kind);
        const QString where = troubled(kind);
        auto unit = SimulatedUnits::listening();
        const QString hex = firmware();
        const QStringList update{u"--json"_s, u"--time-scale"_s, Scale, u"--unit"_s, address(*unit), hex};

        CliProcess cli;
        cli.setEnvironment(u"UPLOADER_HISTORY"_s, where); // --history would refuse an invalid one
        QCOMPARE(cli.run(update), 0);
        const QList<QJsonObject> events = cli.events();
        QCOMPARE(ofEvent(events, u"finished"_s).size(), 1);
        QCOMPARE(ofEvent(events, u"finished"_s).first().value(u"outcome"_s).toString(), u"succeeded"_s);
        const QList<QJsonObject> warnings = ofEvent(events, u"warning"_s);
        // A server that cannot be reached also leaves the update waiting on this computer, and the
        // program says so as it ends.
        const int expected = kind == u"unreachable server"_s ? 2 : 1;
        QCOMPARE(warnings.size(), expected);
        QVERIFY(!warnings.first().contains(u"unit"_s));
        QCOMPARE(events.last().value(u"event"_s).toString(), u"summary"_s);
        const QString message = warnings.first().value(u"message"_s).toString();
        QVERIFY2(QString::fromUtf8(cli.err).count(u"warning: "_s) == expected, cli.err.constData());
        QVERIFY2(cli.err.contains(message.left(40).toUtf8()), cli.err.constData());
        if (expected == 2)
            QVERIFY2(warnings.last()
                         .value(u"message"_s)
                         .toString()
                         .startsWith(u"1 update recorded on this computer"_s),
                     cli.err.constData());
        QVERIFY(unit->report().cumulative().imageComplete);

        // --history-required: refused before any unit is contacted.
        auto untouched = SimulatedUnits::listening();
        CliProcess required;
        required.setEnvironment(u"UPLOADER_HISTORY"_s, where);
        QCOMPARE(required.run({u"--history-required"_s, u"--time-scale"_s, Scale, u"--unit"_s,
                               address(*untouched), hex}),
                 2);
        QVERIFY2(required.err.contains("--history-required"), required.err.constData());
        QTest::qWait(50);
        QVERIFY(untouched->report().connections.isEmpty());
    }

    // A history the user may read but not write. As root every file is writable, so the program
    // then runs as the unprivileged user nobody.
    void readOnlyHistoryWarnsAndTheUpdateRuns()
    {
        const QString path = goodHistory();
        const QString folder = QFileInfo(path).absolutePath();
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
        QVERIFY(QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7755)));
        const QString hex = firmware();
        QVERIFY(QFile::setPermissions(hex, QFileDevice::Permissions(0x6444)));
        auto unit = SimulatedUnits::listening();

        CliProcess cli;
        QStringList arguments{u"--json"_s, u"--time-scale"_s, Scale,          u"--history"_s,
                              path,        u"--unit"_s,       address(*unit), hex};
        if (geteuid() == 0) {
            arguments = QStringList{u"--reuid=nobody"_s, u"--regid=nogroup"_s, u"--clear-groups"_s, u"--"_s,
                                    cli.process.program()} +
                        arguments;
            cli.process.setProgram(u"setpriv"_s);
            QVERIFY(QFile::setPermissions(cli.home.path(), QFileDevice::Permissions(0x7777)));
        }
        QCOMPARE(cli.run(arguments), 0);
        const QList<QJsonObject> warnings = ofEvent(cli.events(), u"warning"_s);
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().value(u"message"_s).toString().contains(u"cannot be written"_s),
                 qPrintable(warnings.first().value(u"message"_s).toString()));
        QVERIFY(unit->report().cumulative().imageComplete);
        QCOMPARE(TestHistories::allRows(HistoryLocation::sqliteFile(path)).size(), 1);
    }

    // ---- production line: serials, lots, retries, run ids ------------------------------------------

    // A unit that drops its first connection is tried again: one retry event, one finished after
    // two attempts, and a row per attempt with the file's serial, the lot and the summary's run id.
    void retriedUpdateRecordsEachAttempt()
    {
        const QString path = freshPath();
        auto unit = SimulatedUnits::listening(u"drop@0#1"_s);
        const QString units = writeFile(u"line.txt"_s, address(*unit).toUtf8() + "  SN-0007\n");
        CliProcess cli;
        QCOMPARE(cli.run({u"--json"_s, u"--time-scale"_s, Scale, u"--history"_s, path, u"--retries"_s, u"1"_s,
                          u"--lot"_s, u"WO-17"_s, u"--units"_s, units, firmware()}),
                 0);
        const QList<QJsonObject> events = cli.events();
        QCOMPARE(ofEvent(events, u"retry"_s).size(), 1);
        QCOMPARE(ofEvent(events, u"retry"_s).first().value(u"outcome"_s).toString(), u"connection-lost"_s);
        const QList<QJsonObject> finished = ofEvent(events, u"finished"_s);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().value(u"attempts"_s).toInt(), 2);
        QCOMPARE(finished.first().value(u"outcome"_s).toString(), u"succeeded"_s);
        const QString run = events.last().value(u"run"_s).toString();
        QVERIFY2(QRegularExpression(u"^[0-9a-f]{12}$"_s).match(run).hasMatch(), qPrintable(run));

        const QList<UpdateRecord> rows = TestHistories::allRows(HistoryLocation::sqliteFile(path));
        QCOMPARE(rows.size(), 2);
        for (const UpdateRecord& row : rows) {
            QCOMPARE(row.serial, u"SN-0007"_s);
            QCOMPARE(row.lot, u"WO-17"_s);
            QCOMPARE(row.runId, run);
        }
        QCOMPARE(rows.at(1).attempt, 1);
        QCOMPARE(rows.at(1).outcome, u"connection-lost"_s);
        QCOMPARE(rows.at(0).attempt, 2);
        QCOMPARE(rows.at(0).outcome, u"succeeded"_s);
    }

    // --failed-from updates only the units of that run that failed, with their serials; a run
    // without failures contacts nothing, an unknown run is a usage error.
    void failedFromUpdatesOnlyTheFailedUnits()
    {
        const QString path = freshPath();
        const QString hex = firmware();
        auto good = SimulatedUnits::listening();
        auto refusing = SimulatedUnits::listening(u"refuse:02@0"_s);
        const QString units = writeFile(u"two.txt"_s, address(*good).toUtf8() + " SN-A\n" +
                                                          address(*refusing).toUtf8() + " SN-B\n");
        CliProcess first;
        QCOMPARE(first.run(
                     {u"--json"_s, u"--time-scale"_s, Scale, u"--history"_s, path, u"--units"_s, units, hex}),
                 1);
        const QString run = first.events().last().value(u"run"_s).toString();
        QVERIFY(!run.isEmpty());
        const qsizetype goodConnections = good->report().connections.size();

        refusing->clearFaults();
        CliProcess again;
        QCOMPARE(again.run({u"--json"_s, u"--time-scale"_s, Scale, u"--history"_s, path, u"--failed-from"_s,
                            run, hex}),
                 0);
        QCOMPARE(good->report().connections.size(), goodConnections);
        QCOMPARE(again.eventsOf(address(*refusing)).isEmpty(), false);
        QVERIFY(again.eventsOf(address(*good)).isEmpty());
        const QString retryRun = again.events().last().value(u"run"_s).toString();
        QVERIFY(retryRun != run);
        CliProcess retried;
        QCOMPARE(
            retried.run({u"history"_s, u"--history"_s, path, u"--json"_s, u"--run"_s, retryRun.toUpper()}),
            0);
        QCOMPARE(retried.events().size(), 1);
        QCOMPARE(retried.events().first().value(u"serial"_s).toString(), u"SN-B"_s);
        QCOMPARE(retried.events().first().value(u"outcome"_s).toString(), u"succeeded"_s);

        const qsizetype refusingConnections = refusing->report().connections.size();
        CliProcess nothingFailed;
        QCOMPARE(nothingFailed.run({u"--history"_s, path, u"--failed-from"_s, retryRun, hex}), 0);
        QVERIFY(nothingFailed.out.contains("nothing to do"));
        QCOMPARE(refusing->report().connections.size(), refusingConnections);
        CliProcess unknown;
        QCOMPARE(unknown.run({u"--history"_s, path, u"--failed-from"_s, u"000000000000"_s, hex}), 2);
        QCOMPARE(unknown.err.count('\n'), 1);
    }

    // --watch: a unit placed is updated once however long it stays; taken out and placed again, it
    // is a second update. Ctrl+C ends the watch with the summary and 130.
    void watchUpdatesEachPlacementOnce()
    {
        const QString path = freshPath();
        auto unit = SimulatedUnits::listening();
        const quint16 port = unit->port();
        CliProcess cli;
        // Probes 50 ms apart that wait 50 ms for an answer; a unit is gone after 150 ms without one.
        cli.start({u"--json"_s, u"--time-scale"_s, u"0.05"_s, u"--history"_s, path, u"--watch"_s, u"--unit"_s,
                   address(*unit), firmware()});
        const auto finished = [&] { return ofEvent(cli.events(), u"finished"_s); };
        QVERIFY(waitUntil([&] { return finished().size() == 1; }, 20000));
        QTest::qWait(600); // 12 probes, four times the time a unit counts as gone after
        QCOMPARE(finished().size(), 1);

        unit->stopListening();
        QTest::qWait(600);
        QVERIFY(unit->listen(QHostAddress::LocalHost, port));
        QVERIFY(waitUntil([&] { return finished().size() == 2; }, 20000));
        ::kill(pid_t(cli.process.processId()), SIGINT);
        QVERIFY(cli.waitForExit(10000));
        QCOMPARE(cli.process.exitCode(), 130);

        const QList<QJsonObject> ends = finished();
        QCOMPARE(ends.at(0).value(u"update"_s).toInt(), 1);
        QCOMPARE(ends.at(1).value(u"update"_s).toInt(), 2);
        const QJsonObject summary = cli.events().last();
        QCOMPARE(summary.value(u"event"_s).toString(), u"summary"_s);
        QCOMPARE(summary.value(u"updates"_s).toObject().value(u"succeeded"_s).toInt(), 2);
        const QList<UpdateRecord> rows = TestHistories::allRows(HistoryLocation::sqliteFile(path));
        QCOMPARE(rows.size(), 2);
        for (const UpdateRecord& row : rows) {
            QCOMPARE(row.runId, summary.value(u"run"_s).toString());
            QCOMPARE(row.fixture, address(*unit));
        }
    }

    // ---- a process that dies, a file that changes ------------------------------------------------

    void killedMidUpdateLeavesAnAbandonedRow()
    {
        const QString path = freshPath();
        const QString hex = writeFile(u"long.hex"_s, HexFile::join(HexFile::plain(4000)));
        auto unit = SimulatedUnits::listening();
        unit->setLatencyMs(2);
        CliProcess cli;
        cli.start(
            {u"--json"_s, u"--time-scale"_s, Scale, u"--history"_s, path, u"--unit"_s, address(*unit), hex});
        QVERIFY(waitUntil(
            [&] {
                const QList<UpdateRecord> rows = TestHistories::allRows(HistoryLocation::sqliteFile(path));
                return rows.size() == 1 && rows.first().outcome == u"running"_s &&
                       unit->report().cumulative().recordsAccepted > 50;
            },
            20000));
        ::kill(pid_t(cli.process.processId()), SIGKILL);
        QVERIFY(cli.waitForExit(10000));

        // The next reader marks it: the writer is gone.
        CliProcess reader;
        QCOMPARE(reader.run({u"history"_s, u"--history"_s, path, u"--json"_s}), 0);
        const QList<QJsonObject> rows = reader.events();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().value(u"outcome"_s).toString(), u"abandoned"_s);

        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"integrity"_s);
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery check(db);
        QVERIFY(check.exec(u"PRAGMA integrity_check"_s) && check.next());
        QCOMPARE(check.value(0).toString(), u"ok"_s);
        check.finish();
        db.close();
    }

    // ---- --log-dir -----------------------------------------------------------------------------

    void logFileNames()
    {
        const QDateTime at = QDateTime::fromString(u"2026-12-08T03:05:40.123Z"_s, Qt::ISODateWithMs);
        QCOMPARE(UpdateLogFiles::fileName(at, u"10.0.4.20"_s, 23),
                 u"2026-12-08T03-05-40.123Z_10.0.4.20_23.log"_s);
        QCOMPARE(UpdateLogFiles::fileName(at, u"fd00::5"_s, 2323),
                 u"2026-12-08T03-05-40.123Z_fd00--5_2323.log"_s);
        QCOMPARE(UpdateLogFiles::fileName(at, u"../x y/\x01"_s, 1),
                 u"2026-12-08T03-05-40.123Z__._x_y___1.log"_s);
        QCOMPARE(UpdateLogFiles::fileName(at.toOffsetFromUtc(3600), u"unit-7.lan"_s, 23),
                 u"2026-12-08T03-05-40.123Z_unit-7.lan_23.log"_s);
    }

    void logDirHoldsOneFilePerUpdate_data()
    {
        QTest::addColumn<bool>("verbose");
        QTest::newRow("plain") << false;
        QTest::newRow("--verbose") << true;
    }

    void logDirHoldsOneFilePerUpdate()
    {
        QFETCH(bool, verbose);
        const QString logs = m_dir.filePath(u"logs%1/new/folder"_s.arg(++m_serial));
        auto first = SimulatedUnits::listening();
        auto second = SimulatedUnits::listening();
        CliProcess cli;
        QStringList arguments{u"--json"_s, u"--no-history"_s, u"--repeat"_s, u"2"_s,      u"--time-scale"_s,
                              Scale,       u"--log-dir"_s,    logs,          u"--unit"_s, address(*first),
                              u"--unit"_s, address(*second),  firmware(12)};
        if (verbose)
            arguments.prepend(u"--verbose"_s);
        QCOMPARE(cli.run(arguments), 0);

        const QStringList files = QDir(logs).entryList(QDir::Files, QDir::Name);
        QCOMPARE(files.size(), 4);
        for (const auto* unit : {first.get(), second.get()}) {
            static const QRegularExpression name(
                u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\d\\.\\d{3}Z_127\\.0\\.0\\.1_(\\d+)(-\\d+)?\\.log$"_s);
            QStringList own;
            for (const QString& file : files) {
                const QRegularExpressionMatch match = name.match(file);
                QVERIFY2(match.hasMatch(), qPrintable(file));
                if (match.captured(1).toInt() == unit->port())
                    own << file;
            }
            QCOMPARE(own.size(), 2);
            // Each file: that update's log events, in order (the file names sort by start time).
            for (int update = 1; update <= 2; ++update) {
                QStringList expected;
                bool anyDebug = false;
                for (const QJsonObject& event : cli.eventsOf(address(*unit))) {
                    if (event.value(u"event"_s).toString() == u"log"_s &&
                        event.value(u"update"_s).toInt() == update) {
                        expected << event.value(u"text"_s).toString();
                        anyDebug = anyDebug || event.value(u"debug"_s).toBool();
                    }
                }
                QCOMPARE(anyDebug, verbose);
                QFile file(QDir(logs).filePath(own.at(update - 1)));
                QVERIFY(file.open(QIODevice::ReadOnly));
                QCOMPARE(QString::fromUtf8(file.readAll()), expected.join(u'\n') + u'\n');
            }
        }
    }

    void unwritableLogDirIsAUsageError()
    {
        const QString blocker = writeFile(u"not-a-folder"_s, "x");
        auto unit = SimulatedUnits::listening();
        CliProcess cli;
        QCOMPARE(cli.run({u"--no-history"_s, u"--log-dir"_s, blocker + u"/logs"_s, u"--unit"_s,
                          address(*unit), firmware()}),
                 2);
        QVERIFY2(cli.err.contains("--log-dir"), cli.err.constData());
        QTest::qWait(50);
        QVERIFY(unit->report().connections.isEmpty());
    }

    // ---- the history command -------------------------------------------------------------------

    void historyUsageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("bad date") << QStringList{u"--since"_s, u"yesterday"_s};
        QTest::newRow("bad until") << QStringList{u"--until"_s, u"2026-13-01"_s};
        QTest::newRow("since after until")
            << QStringList{u"--since"_s, u"2026-12-02"_s, u"--until"_s, u"2026-12-01"_s};
        QTest::newRow("bad outcome") << QStringList{u"--outcome"_s, u"great"_s};
        QTest::newRow("limit 0") << QStringList{u"--limit"_s, u"0"_s};
        QTest::newRow("limit not a number") << QStringList{u"--limit"_s, u"ten"_s};
        QTest::newRow("sha256 not hex") << QStringList{u"--sha256"_s, u"xyz"_s};
        QTest::newRow("serial too long") << QStringList{u"--serial"_s, QString(65, u'7')};
        QTest::newRow("lot with a control character") << QStringList{u"--lot"_s, u"WO\x01"_s};
        QTest::newRow("fixture with a space") << QStringList{u"--fixture"_s, u"bench a"_s};
        QTest::newRow("run with a slash") << QStringList{u"--run"_s, u"../x"_s};
        QTest::newRow("serial with --show") << QStringList{u"--show"_s, u"3"_s, u"--serial"_s, u"1"_s};
        QTest::newRow("bad unit") << QStringList{u"--unit"_s, u"10.0.0.1:99999"_s};
        QTest::newRow("run not an id") << QStringList{u"--run"_s, u"last"_s};
        QTest::newRow("serial too long") << QStringList{u"--serial"_s, QString(65, u'S')};
        QTest::newRow("empty lot") << QStringList{u"--lot"_s, u" "_s};
        QTest::newRow("json and csv") << QStringList{u"--json"_s, u"--csv"_s};
        QTest::newRow("show not a number") << QStringList{u"--show"_s, u"last"_s};
        QTest::newRow("show with a filter") << QStringList{u"--show"_s, u"3"_s, u"--outcome"_s, u"refused"_s};
        QTest::newRow("prune with a bad date") << QStringList{u"--prune-before"_s, u"soon"_s};
        QTest::newRow("unknown option") << QStringList{u"--colour"_s};
        QTest::newRow("a stray argument") << QStringList{u"firmware.hex"_s};
        QTest::newRow("bad location") << QStringList{u"--history"_s, u"mysql://h/x"_s};
        QTest::newRow("audit with --unit") << QStringList{u"--audit"_s, u"--unit"_s, u"10.0.0.1"_s};
        QTest::newRow("audit with --outcome") << QStringList{u"--audit"_s, u"--outcome"_s, u"refused"_s};
        QTest::newRow("audit with --forward") << QStringList{u"--audit"_s, u"--forward"_s};
        QTest::newRow("audit with a bad date") << QStringList{u"--audit"_s, u"--since"_s, u"soon"_s};
        QTest::newRow("token without --audit") << QStringList{u"--token"_s, u"line-3"_s};
    }

    void historyUsageErrors()
    {
        QFETCH(QStringList, arguments);
        const QString path = freshPath();
        CliProcess cli;
        QCOMPARE(cli.run(QStringList{u"history"_s, u"--history"_s, path} + arguments), 2);
        QVERIFY2(cli.err.startsWith("uploader-cli: ") && cli.err.count('\n') == 1, cli.err.constData());
        QVERIFY(cli.out.isEmpty());
    }

    // Reading never creates a history; one that cannot be read is an error (exit 1).
    void historyThatIsMissingOrUnreadable()
    {
        const QString missing = freshPath();
        CliProcess empty;
        QCOMPARE(empty.run({u"history"_s, u"--history"_s, missing}), 0);
        QCOMPARE(empty.out, QByteArray("No updates recorded that match.\n"));
        CliProcess emptyCsv;
        QCOMPARE(emptyCsv.run({u"history"_s, u"--history"_s, missing, u"--csv"_s}), 0);
        QVERIFY(emptyCsv.out.startsWith("id,started,") && emptyCsv.out.count('\n') == 1);
        CliProcess prune;
        QCOMPARE(prune.run({u"history"_s, u"--history"_s, missing, u"--prune-before"_s, u"2030-01-01"_s}), 0);
        QVERIFY(prune.out.startsWith("Removed 0 updates"));
        QVERIFY(!QFile::exists(missing));
        CliProcess byDefault;
        QCOMPARE(byDefault.run({u"history"_s}), 0);
        QVERIFY(!QFile::exists(byDefault.defaultHistory()));

        const QString corrupt = troubled(u"corrupt"_s);
        CliProcess unreadable;
        QCOMPARE(unreadable.run({u"history"_s, u"--history"_s, corrupt}), 1);
        QVERIFY2(unreadable.err.contains(corrupt.toUtf8()), unreadable.err.constData());
        QVERIFY(unreadable.out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(CliRecordingTest)
#include "tst_clirecording.moc"
