// uploader-cli and the update history, against SQLite and against the test PostgreSQL server: the
// row an update leaves, and `uploader-cli history` reading them (filters, formats, --show,
// --prune-before).
#include "CliProcess.h"
#include "HexFile.h"
#include "SimulatedUnits.h"
#include "TestHistories.h"
#include "WaitUntil.h"

#include "history/HistoryReader.h"
#include "history/UpdateHistory.h"
#include "unitsim/Fault.h"
#include "unitsim/SimulatedUnit.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QTest>

#include <csignal>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Scale = u"0.02"_s;

using SimulatedUnits::address;

// The texts of a unit's log events, as the row's log should hold them.
QString logOf(const CliProcess& cli, const QString& unit)
{
    QStringList lines;
    for (const QJsonObject& event : cli.eventsOf(unit))
        if (event.value(u"event"_s).toString() == u"log"_s)
            lines << event.value(u"text"_s).toString();
    return lines.join(u'\n');
}

} // namespace

class CliHistoryTest : public QObject
{
    Q_OBJECT

    TestHistories m_histories;
    QTemporaryDir m_dir;

    QString writeFile(const QString& name, const QByteArray& contents)
    {
        QFile file(m_dir.filePath(name));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(contents);
        return file.fileName();
    }

    // Rows with known times, units, outcomes and files, written through the library.
    static void seed(const HistoryLocation& location)
    {
        UpdateHistory history;
        history.open(location);
        struct Seed
        {
            const char* started;
            const char* host;
            int port;
            const char* outcome;
            const char* file;
            QString sha256;
            const char* serial;
            const char* lot;
            const char* fixture;
            const char* run;
        };
        const Seed seeds[] = {
            {"2026-11-30T23:59:59.000Z", "10.0.4.20", 23, "succeeded", "a.hex", u"aa"_s.repeated(32), "", "",
             "", ""},
            {"2026-12-01T08:00:00.000Z", "10.0.4.20", 2323, "refused", "a.hex", u"aa"_s.repeated(32),
             "40-1187", "WO 5521", "bench-a", "0123456789ab"},
            {"2026-12-02T08:00:00.000Z", "10.0.4.21", 23, "no-connection", "b,\"odd\".hex",
             u"bb"_s.repeated(32), "40-1188", "WO 5521", "bench-b", "0123456789ab"},
            {"2026-12-03T08:00:00.000Z", "fd00::5", 23, "succeeded", "=cmd.hex", u"ab"_s.repeated(32),
             "40-1187", "WO 5522", "bench-a", "ba9876543210"},
            {"2026-12-04T08:00:00.000Z", "10.0.4.20", 23, "file-changed", "a.hex", u"ac"_s.repeated(32), "",
             "", "", ""},
        };
        for (const Seed& s : seeds) {
            UpdateRecord record;
            record.started = QDateTime::fromString(QString::fromLatin1(s.started), Qt::ISODateWithMs);
            record.frontend = u"cli"_s;
            record.product = u"Marlin"_s;
            record.unitHost = QString::fromLatin1(s.host);
            record.unitPort = s.port;
            record.fileName = QString::fromUtf8(s.file);
            record.filePath = u"/srv/"_s + record.fileName;
            record.fileSize = 1000;
            record.sha256 = s.sha256;
            record.recordsTotal = 60;
            record.serial = QString::fromLatin1(s.serial);
            record.lot = QString::fromLatin1(s.lot);
            record.fixture = QString::fromLatin1(s.fixture);
            record.runId = QString::fromLatin1(s.run);
            record.log = u"Connecting to %1\nline two"_s.arg(QString::fromLatin1(s.host));
            const HistoryHandle handle = history.begin(record);
            history.finish(
                handle, {QString::fromLatin1(s.outcome),
                         QString::fromLatin1(s.outcome) == u"refused"_s ? u"01"_s : QString(),
                         QString::fromLatin1(s.outcome) == u"succeeded"_s ? QString() : u"Why, it failed."_s,
                         2.5, 60});
        }
        QVERIFY(history.close(20000));
    }

    // `uploader-cli history ARGS` against the location; its standard output.
    static QString history(const HistoryLocation& location, const QStringList& arguments,
                           int expectedExit = 0)
    {
        CliProcess cli;
        const int code = cli.run(QStringList{u"history"_s, u"--history"_s, location.display()} + arguments);
        if (code != expectedExit)
            qWarning("history %s: exit %d: %s", qPrintable(arguments.join(u' ')), code, cli.err.constData());
        return code == expectedExit ? QString::fromUtf8(cli.out) : u"<exit %1>"_s.arg(code);
    }

    static QList<qint64> jsonIds(const QString& out)
    {
        QList<qint64> ids;
        for (const QString& line : out.split(u'\n', Qt::SkipEmptyParts))
            ids << QJsonDocument::fromJson(line.toUtf8()).object().value(u"id"_s).toInteger();
        return ids;
    }

private slots:
    void initTestCase_data() { TestHistories::addBackends(); }

    // uploader-cli records through the run's recorder: its row carries the program, the file's
    // SHA-256 as sha256sum has it, and the lines it showed; `history --show` prints it.
    void updatesAreRecorded()
    {
        HISTORY_LOCATION(m_histories, location);
        const QByteArray contents = HexFile::join(HexFile::plain(40));
        const QString firmware = writeFile(u"recorded.hex"_s, contents);
        const QString sha256 =
            QString::fromLatin1(QCryptographicHash::hash(contents, QCryptographicHash::Sha256).toHex());
        auto good = SimulatedUnits::listening();

        CliProcess cli;
        QCOMPARE(cli.run({u"--json"_s, u"--time-scale"_s, Scale, u"--history"_s, location.display(),
                          u"--unit"_s, address(*good), firmware}),
                 0);
        QVERIFY2(!cli.err.contains("warning"), cli.err.constData());

        const QList<UpdateRecord> rows = TestHistories::allRows(location);
        QCOMPARE(rows.size(), 1);
        const UpdateRecord& row = rows.first();
        QCOMPARE(row.outcome, u"succeeded"_s);
        QCOMPARE(row.frontend, u"cli"_s);
        QCOMPARE(row.program, u"uploader-cli"_s);
        QCOMPARE(row.unitPort, good->port());
        QCOMPARE(row.sha256, sha256);
        QCOMPARE(row.recordsSent, 41);
        QVERIFY(!row.host.isEmpty() && !row.user.isEmpty());
        const HistoryRow full = HistoryReader::byId(location, row.id);
        QVERIFY(full.record);
        QCOMPARE(full.record->log, logOf(cli, address(*good)));
        const QString shown = history(location, {u"--show"_s, QString::number(row.id)});
        QVERIFY2(shown.contains(u"Outcome:       succeeded"_s) && shown.contains(sha256), qPrintable(shown));
        QVERIFY2(shown.contains(u"  "_s + logOf(cli, address(*good)).section(u'\n', -1)), qPrintable(shown));
    }

    // The filters, each alone and together, against known rows.
    void historyFilters_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QList<int>>("seeds"); // which seeded rows, latest first (1 = the first seeded)
        QTest::newRow("all, latest first") << QStringList{} << QList<int>{5, 4, 3, 2, 1};
        QTest::newRow("--limit 2") << QStringList{u"--limit"_s, u"2"_s} << QList<int>{5, 4};
        QTest::newRow("--unit host, any port")
            << QStringList{u"--unit"_s, u"10.0.4.20"_s} << QList<int>{5, 2, 1};
        QTest::newRow("--unit host:port") << QStringList{u"--unit"_s, u"10.0.4.20:2323"_s} << QList<int>{2};
        QTest::newRow("--unit [IPv6]:port") << QStringList{u"--unit"_s, u"[fd00::5]:23"_s} << QList<int>{4};
        QTest::newRow("--since a day") << QStringList{u"--since"_s, u"2026-12-02"_s} << QList<int>{5, 4, 3};
        QTest::newRow("--until a day includes it")
            << QStringList{u"--until"_s, u"2026-12-01"_s} << QList<int>{2, 1};
        QTest::newRow("--since with a time and offset")
            << QStringList{u"--since"_s, u"2026-12-01T00:59:59+01:00"_s} << QList<int>{5, 4, 3, 2, 1};
        QTest::newRow("--outcome") << QStringList{u"--outcome"_s, u"SUCCEEDED"_s} << QList<int>{4, 1};
        QTest::newRow("--sha256 prefix, any case") << QStringList{u"--sha256"_s, u"AB"_s} << QList<int>{4};
        QTest::newRow("together") << QStringList{u"--unit"_s,     u"10.0.4.20"_s, u"--since"_s,
                                                 u"2026-12-01"_s, u"--sha256"_s,  u"aaaa"_s}
                                  << QList<int>{2};
        QTest::newRow("--serial") << QStringList{u"--serial"_s, u"40-1187"_s} << QList<int>{4, 2};
        QTest::newRow("--serial and --lot")
            << QStringList{u"--serial"_s, u" 40-1187 "_s, u"--lot"_s, u"WO 5521"_s} << QList<int>{2};
        QTest::newRow("--fixture") << QStringList{u"--fixture"_s, u"bench-b"_s} << QList<int>{3};
        QTest::newRow("--run") << QStringList{u"--run"_s, u"0123456789ab"_s} << QList<int>{3, 2};
        QTest::newRow("nothing matches") << QStringList{u"--outcome"_s, u"abandoned"_s} << QList<int>{};
    }

    void historyFilters()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QList<int>, seeds);
        HISTORY_LOCATION(m_histories, location);
        seed(location);
        QList<qint64> ids; // by seed number
        for (const UpdateRecord& row : TestHistories::allRows(location))
            ids.prepend(row.id);
        QList<qint64> expected;
        for (int n : seeds)
            expected << ids.at(n - 1);
        QCOMPARE(jsonIds(history(location, arguments + QStringList{u"--json"_s})), expected);

        const QString table = history(location, arguments);
        if (expected.isEmpty()) {
            QCOMPARE(table, u"No updates recorded that match.\n"_s);
        } else {
            const QStringList lines = table.split(u'\n', Qt::SkipEmptyParts);
            QCOMPARE(lines.size(), expected.size() + 1);
            QVERIFY(lines.first().startsWith(u"ID"_s));
            for (qsizetype i = 0; i < expected.size(); ++i)
                QCOMPARE(lines.at(i + 1).trimmed().section(u' ', 0, 0).toLongLong(), expected.at(i));
        }
    }

    // --json keys, --csv header and quoting, --show with the log, --prune-before's count.
    void historyFormats()
    {
        HISTORY_LOCATION(m_histories, location);
        seed(location);

        const QString json = history(location, {u"--json"_s, u"--limit"_s, u"1"_s});
        const QJsonObject object = QJsonDocument::fromJson(json.toUtf8()).object();
        const QStringList keys{u"id"_s,      u"started"_s,      u"ended"_s,        u"frontend"_s,
                               u"host"_s,    u"user"_s,         u"program"_s,      u"version"_s,
                               u"product"_s, u"unit"_s,         u"file"_s,         u"path"_s,
                               u"size"_s,    u"sha256"_s,       u"records_sent"_s, u"records_total"_s,
                               u"outcome"_s, u"refusal_code"_s, u"reason"_s,       u"elapsed"_s,
                               u"run"_s,     u"serial"_s,       u"lot"_s,          u"fixture"_s,
                               u"attempt"_s};
        for (const QString& key : keys)
            QVERIFY2(object.contains(key), qPrintable(key));
        QVERIFY(!object.contains(u"log"_s));
        QCOMPARE(object.value(u"unit"_s).toString(), u"10.0.4.20:23"_s);
        QCOMPARE(object.value(u"outcome"_s).toString(), u"file-changed"_s);
        QCOMPARE(object.value(u"started"_s).toString(), u"2026-12-04T08:00:00.000Z"_s);

        const QString csv = history(location, {u"--csv"_s, u"--outcome"_s, u"no-connection"_s});
        const QStringList csvLines = csv.split(u"\r\n"_s, Qt::SkipEmptyParts);
        QCOMPARE(csvLines.size(), 2);
        QVERIFY(csvLines.first().startsWith(u"id,started,ended,frontend,"_s));
        QVERIFY2(csvLines.at(1).contains(u",\"b,\"\"odd\"\".hex\","_s), qPrintable(csvLines.at(1)));
        QVERIFY2(csvLines.at(1).endsWith(u",0123456789ab,40-1188,WO 5521,bench-b,1,,"_s),
                 qPrintable(csvLines.at(1)));
        const QString table = history(location, {u"--lot"_s, u"WO 5521"_s});
        QVERIFY2(table.startsWith(
                     u"ID  STARTED               UNIT            SERIAL   LOT      FIXTURE  OUTCOME"_s),
                 qPrintable(table));
        QVERIFY2(table.contains(u"40-1188  WO 5521  bench-b  no-connection"_s), qPrintable(table));
        const QString formula = history(location, {u"--csv"_s, u"--unit"_s, u"fd00::5"_s});
        QVERIFY2(formula.contains(u",'=cmd.hex,"_s), qPrintable(formula));
        QVERIFY2(formula.contains(u"[fd00::5]:23"_s), qPrintable(formula));

        const qint64 id = TestHistories::allRows(location).first().id;
        const QString shown = history(location, {u"--show"_s, QString::number(id)});
        QVERIFY2(shown.contains(u"Log:\n  Connecting to 10.0.4.20\n  line two\n"_s), qPrintable(shown));
        QVERIFY2(shown.contains(u"Reason:        Why, it failed."_s), qPrintable(shown));
        const QJsonObject shownJson =
            QJsonDocument::fromJson(
                history(location, {u"--show"_s, QString::number(id), u"--json"_s}).toUtf8())
                .object();
        QCOMPARE(shownJson.value(u"log"_s).toString(), u"Connecting to 10.0.4.20\nline two"_s);
        CliProcess missing;
        QCOMPARE(missing.run({u"history"_s, u"--history"_s, location.display(), u"--show"_s, u"99999"_s}), 1);
        QVERIFY2(missing.err.contains("no update with ID 99999"), missing.err.constData());

        QCOMPARE(history(location, {u"--prune-before"_s, u"2026-12-02"_s}),
                 u"Removed 2 updates that started before 2026-12-02T00:00:00.000Z.\n"_s);
        QCOMPARE(TestHistories::allRows(location).size(), 3);
        QCOMPARE(history(location, {u"--prune-before"_s, u"2026-12-02"_s}),
                 u"Removed 0 updates that started before 2026-12-02T00:00:00.000Z.\n"_s);
    }

    // --audit lists the stations' requests, filtered by token, in each of the three formats.
    void historyAudit()
    {
        HISTORY_LOCATION(m_histories, location);
        {
            UpdateHistory history;
            history.open(location);
            const QString sha256 = u"ab"_s.repeated(32);
            history.audit({0,
                           {},
                           QDateTime::fromString(u"2026-12-01T08:00:00.000Z"_s, Qt::ISODateWithMs),
                           u"bench-7"_s,
                           u"line-3"_s,
                           u"10.0.4.9"_s,
                           u"POST"_s,
                           u"/api/v1/runs"_s,
                           u"0123456789ab"_s,
                           201});
            history.audit({0,
                           {},
                           QDateTime::fromString(u"2026-12-02T08:00:00.000Z"_s, Qt::ISODateWithMs),
                           u"bench-7"_s,
                           u"admin"_s,
                           u"10.0.4.9"_s,
                           u"DELETE"_s,
                           u"/api/v1/firmware/"_s + sha256,
                           sha256,
                           204});
            history.audit({0,
                           {},
                           QDateTime::fromString(u"2026-12-03T08:00:00.000Z"_s, Qt::ISODateWithMs),
                           u"bench-7"_s,
                           u"line-3"_s,
                           u"10.0.4.9"_s,
                           u"PUT"_s,
                           u"/api/v1/fixtures/bench-a/watch"_s,
                           u"bench-a"_s,
                           403});
            QVERIFY(history.close(20000));
        }
        const QStringList lines = history(location, {u"--audit"_s, u"--json"_s, u"--token"_s, u"line-3"_s})
                                      .split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        const QJsonObject latest = QJsonDocument::fromJson(lines.first().toUtf8()).object();
        QCOMPARE(latest, (QJsonObject{{u"id"_s, latest.value(u"id"_s)},
                                      {u"time"_s, u"2026-12-03T08:00:00.000Z"_s},
                                      {u"station"_s, u"bench-7"_s},
                                      {u"token"_s, u"line-3"_s},
                                      {u"client"_s, u"10.0.4.9"_s},
                                      {u"method"_s, u"PUT"_s},
                                      {u"path"_s, u"/api/v1/fixtures/bench-a/watch"_s},
                                      {u"object"_s, u"bench-a"_s},
                                      {u"status"_s, 403},
                                      {u"waiting"_s, false}}));
        QVERIFY(latest.value(u"id"_s).toInteger() > 0);
        QCOMPARE(QJsonDocument::fromJson(lines.at(1).toUtf8()).object().value(u"method"_s).toString(),
                 u"POST"_s);

        const QString table = history(location, {u"--audit"_s, u"--since"_s, u"2026-12-02"_s});
        QVERIFY2(table.startsWith(u"TIME                  STATION  TOKEN   CLIENT    METHOD  PATH"_s),
                 qPrintable(table));
        QCOMPARE(table.count(u'\n'), 3);
        const QString csv = history(location, {u"--audit"_s, u"--csv"_s, u"--limit"_s, u"1"_s});
        QVERIFY2(csv.startsWith(u"id,time,station,token,client,method,path,object,status\r\n"_s),
                 qPrintable(csv));
        QVERIFY2(
            csv.endsWith(
                u",2026-12-03T08:00:00.000Z,bench-7,line-3,10.0.4.9,PUT,/api/v1/fixtures/bench-a/watch,bench-a,403\r\n"_s),
            qPrintable(csv));
    }
};

QTEST_GUILESS_MAIN(CliHistoryTest)
#include "tst_clihistory.moc"
