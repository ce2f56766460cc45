#include "TestHistories.h"
#include "WaitUntil.h"

#include "history/HistoryConnection.h"
#include "history/HistoryReader.h"
#include "history/HistorySchema.h"
#include "history/HistoryTable.h"
#include "history/HistoryTime.h"
#include "history/UpdateHistory.h"

#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimeZone>

// The history against SQLite and PostgreSQL alike: what is written is read back, queries select
// what they should, and the schema moves forward but never backward.
class HistoryStoreTest : public QObject
{
    Q_OBJECT

    TestHistories m_histories;

    static UpdateRecord full()
    {
        UpdateRecord r;
        r.started = QDateTime(QDate(2026, 12, 8), QTime(3, 5, 40, 123), QTimeZone::utc());
        r.frontend = QStringLiteral("station");
        r.host = QStringLiteral("bench-7");
        r.user = QStringLiteral("operator");
        r.program = QStringLiteral("Marlin-ARC Firmware Uploader");
        r.version = QStringLiteral("1.0.61");
        r.product = QStringLiteral("Marlin");
        r.unitHost = QStringLiteral("fd00::5");
        r.unitPort = 2323;
        r.fileName = QStringLiteral("fw \"1\",é.hex");
        r.filePath = QStringLiteral("/srv/firmware/fw \"1\",é.hex");
        r.fileSize = 27013;
        r.sha256 = QStringLiteral("0123456789abcdef").repeated(4);
        r.recordsTotal = 601;
        r.runId = QStringLiteral("run-42");
        r.serial = QString::fromUtf8("SN 40-1187 é");
        r.lot = QStringLiteral("WO-5521");
        r.fixture = QStringLiteral("bench-a");
        r.attempt = 3;
        r.startedBy = QStringLiteral("line-3");
        return r;
    }

    // Records through UpdateHistory and returns the row's id once it is written and closed.
    static qint64 record(const HistoryLocation& location, UpdateRecord r, const UpdateEnd& end,
                         const QStringList& lines = {})
    {
        UpdateHistory history;
        qint64 id = 0;
        QObject::connect(&history, &UpdateHistory::recorded,
                         [&id](HistoryHandle, qint64 rowId) { id = rowId; });
        history.open(location);
        const HistoryHandle handle = history.begin(std::move(r));
        for (const QString& line : lines)
            history.addLine(handle, line);
        history.finish(handle, end);
        if (!history.close(20000))
            return 0;
        return id;
    }

    static QSqlDatabase writable(const HistoryLocation& location, HistoryConnection& connection,
                                 int version = -1)
    {
        const HistoryError error = connection.open(HistoryConnection::Purpose::Write, 5000, version);
        if (!error.ok())
            qWarning("%s", qPrintable(error.message));
        return connection.database();
        Q_UNUSED(location);
    }

private slots:
    void initTestCase_data() { TestHistories::addBackends(); }

    void roundTripKeepsEveryField()
    {
        HISTORY_LOCATION(m_histories, location);
        UpdateHistory history;
        QSignalSpy recorded(&history, &UpdateHistory::recorded);
        QSignalSpy warnings(&history, &UpdateHistory::warning);
        history.open(location);
        const HistoryHandle handle = history.begin(full());
        history.addLine(handle, QStringLiteral("Connecting to [fd00::5]:2323"));
        history.addLine(handle, QStringLiteral("TX 00 01"), true);
        QVERIFY(waitUntil([&] { return recorded.size() == 1; }, 20000));
        const qint64 id = recorded.at(0).at(1).toLongLong();
        QVERIFY(id > 0);

        // While it runs the row says so.
        HistoryRow running = HistoryReader::byId(location, id);
        QVERIFY2(running.error.ok(), qPrintable(running.error.message));
        QVERIFY(running.record.has_value());
        QCOMPARE(running.record->outcome, QStringLiteral("running"));
        QVERIFY(!running.record->ended.isValid());

        history.setRecordsSent(handle, 17);
        history.finish(handle, {QStringLiteral("refused"), QStringLiteral("02"),
                                QStringLiteral("The unit refused the record: checksum"), 12.25, 17});
        QVERIFY(history.close());
        QCOMPARE(warnings.size(), 0);

        const HistoryRow row = HistoryReader::byId(location, id);
        QVERIFY2(row.error.ok(), qPrintable(row.error.message));
        QVERIFY(row.record.has_value());
        const UpdateRecord& r = *row.record;
        const UpdateRecord expected = full();
        QCOMPARE(r.id, id);
        QCOMPARE(r.started, expected.started);
        QCOMPARE(HistoryTime::format(r.started), QStringLiteral("2026-12-08T03:05:40.123Z"));
        QVERIFY(r.ended.isValid() && r.ended >= r.started);
        QCOMPARE(r.frontend, expected.frontend);
        QCOMPARE(r.host, expected.host);
        QCOMPARE(r.user, expected.user);
        QCOMPARE(r.program, expected.program);
        QCOMPARE(r.version, expected.version);
        QCOMPARE(r.product, expected.product);
        QCOMPARE(r.unitHost, expected.unitHost);
        QCOMPARE(r.unitPort, expected.unitPort);
        QCOMPARE(r.fileName, expected.fileName);
        QCOMPARE(r.filePath, expected.filePath);
        QCOMPARE(r.fileSize, expected.fileSize);
        QCOMPARE(r.sha256, expected.sha256);
        QCOMPARE(r.recordsTotal, expected.recordsTotal);
        QCOMPARE(r.recordsSent, 17);
        QCOMPARE(r.outcome, QStringLiteral("refused"));
        QCOMPARE(r.refusalCode, QStringLiteral("02"));
        QCOMPARE(r.reason, QStringLiteral("The unit refused the record: checksum"));
        QCOMPARE(r.elapsedSeconds, 12.25);
        QCOMPARE(r.log, QStringLiteral("Connecting to [fd00::5]:2323\nTX 00 01"));
        QCOMPARE(r.runId, expected.runId);
        QCOMPARE(r.serial, expected.serial);
        QCOMPARE(r.lot, expected.lot);
        QCOMPARE(r.fixture, expected.fixture);
        QCOMPARE(r.attempt, expected.attempt);
        QCOMPARE(r.startedBy, expected.startedBy);
        QCOMPARE(r.pid, QCoreApplication::applicationPid());

        // Lists leave the log out.
        const HistoryRows rows = HistoryReader::list(location, {});
        QCOMPARE(rows.rows.size(), 1);
        QVERIFY(rows.rows.first().log.isEmpty());
        QCOMPARE(rows.rows.first().sha256, expected.sha256);
        QCOMPARE(rows.rows.first().serial, expected.serial);
        QCOMPARE(rows.rows.first().attempt, expected.attempt);
    }

    void unknownSizesStayUnknownAndTheFileIsHashedWhenLeftOut()
    {
        HISTORY_LOCATION(m_histories, location);
        const QString path = m_histories.tempPath(QStringLiteral("fw.hex"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("abc");
        file.close();

        UpdateRecord r;
        r.unitHost = QStringLiteral("10.0.0.1");
        r.unitPort = 23;
        const qint64 unknown = record(location, r, {QStringLiteral("no-connection"), {}, {}, 3.3, 0});
        r.filePath = path;
        r.fileName = QStringLiteral("fw.hex");
        const qint64 hashed = record(location, r, {QStringLiteral("succeeded"), {}, {}, 1, 0});

        const HistoryRow first = HistoryReader::byId(location, unknown);
        QVERIFY(first.record.has_value());
        QCOMPARE(first.record->fileSize, -1);
        QCOMPARE(first.record->recordsTotal, -1);
        QVERIFY(first.record->sha256.isEmpty());
        const HistoryRow second = HistoryReader::byId(location, hashed);
        QVERIFY(second.record.has_value());
        QCOMPARE(second.record->fileSize, 3);
        QCOMPARE(second.record->sha256,
                 QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
        QVERIFY(!HistoryReader::byId(location, 999999).record.has_value());
    }

    void queriesFilterLimitAndPrune()
    {
        HISTORY_LOCATION(m_histories, location);
        struct Row
        {
            const char* started;
            const char* host;
            int port;
            const char* outcome;
            const char* sha;
            const char* serial;
            const char* lot;
            const char* fixture;
            const char* run;
        };
        const Row rows[] = {
            {"2026-12-01T10:00:00.000Z", "10.0.0.1", 23, "succeeded", "aaaa", "S-1", "L1", "", ""},
            {"2026-12-02T23:59:59.999Z", "10.0.0.1", 2323, "refused", "aabb", "S-2", "L1", "bench-a", "r1"},
            {"2026-12-03T00:00:00.000Z", "10.0.0.2", 23, "succeeded", "bbbb", "S-1", "L2", "bench-a", "r1"},
            {"2026-12-04T12:00:00.000Z", "fd00::5", 23, "no-reply", "AAcc", "", "", "", ""},
            {"2026-12-05T12:00:00.000Z", "10.0.0.1", 23, "running", "cccc", "s-1", "L1", "bench-b", "r2"},
        };
        {
            HistoryConnection connection(location);
            QSqlDatabase db = writable(location, connection);
            HistoryTable table(db);
            QSqlQuery(db).exec(QStringLiteral("BEGIN"));
            for (const Row& row : rows) {
                UpdateRecord r;
                r.started = HistoryTime::parseStored(QString::fromLatin1(row.started));
                r.unitHost = QString::fromLatin1(row.host);
                r.unitPort = row.port;
                r.outcome = QString::fromLatin1(row.outcome);
                r.sha256 = QString::fromLatin1(row.sha).toLower() + QStringLiteral("0").repeated(60);
                r.serial = QString::fromLatin1(row.serial);
                r.lot = QString::fromLatin1(row.lot);
                r.fixture = QString::fromLatin1(row.fixture);
                r.runId = QString::fromLatin1(row.run);
                r.machineId = QStringLiteral("another machine");
                QVERIFY(table.insert(r));
            }
            QSqlQuery(db).exec(QStringLiteral("COMMIT"));
        }

        auto startsOf = [&](const HistoryFilter& filter) {
            const HistoryRows result = HistoryReader::list(location, filter);
            if (!result.error.ok())
                qWarning("%s", qPrintable(result.error.message));
            QStringList days;
            for (const UpdateRecord& r : result.rows)
                days << r.started.toString(QStringLiteral("dd"));
            return days.join(QLatin1Char(' '));
        };
        HistoryFilter filter;
        QCOMPARE(startsOf(filter), QStringLiteral("05 04 03 02 01")); // latest first
        filter.limit = 2;
        QCOMPARE(startsOf(filter), QStringLiteral("05 04"));
        filter = {};
        filter.unitHost = QStringLiteral("10.0.0.1");
        QCOMPARE(startsOf(filter), QStringLiteral("05 02 01"));
        filter.unitPort = 23;
        QCOMPARE(startsOf(filter), QStringLiteral("05 01"));
        filter = {};
        filter.unitHost = QStringLiteral("fd00::5");
        QCOMPARE(startsOf(filter), QStringLiteral("04"));
        filter = {};
        filter.since = HistoryTime::parseBound(QStringLiteral("2026-12-02"), HistoryTime::Bound::Since);
        filter.until = HistoryTime::parseBound(QStringLiteral("2026-12-03"), HistoryTime::Bound::Until);
        QCOMPARE(startsOf(filter), QStringLiteral("03 02")); // whole days, both ends
        filter.until =
            HistoryTime::parseBound(QStringLiteral("2026-12-02T23:59:59.998Z"), HistoryTime::Bound::Until);
        QCOMPARE(startsOf(filter), QString());
        filter = {};
        filter.outcome = QStringLiteral("succeeded");
        QCOMPARE(startsOf(filter), QStringLiteral("03 01"));
        filter = {};
        filter.sha256Prefix = QStringLiteral("AA");
        QCOMPARE(startsOf(filter), QStringLiteral("04 02 01"));
        filter.sha256Prefix = QStringLiteral("aab");
        QCOMPARE(startsOf(filter), QStringLiteral("02"));
        // Serials, lots, fixtures and runs match exactly, case and all.
        filter = {};
        filter.serial = QStringLiteral("S-1");
        QCOMPARE(startsOf(filter), QStringLiteral("03 01"));
        filter.lot = QStringLiteral("L1");
        QCOMPARE(startsOf(filter), QStringLiteral("01"));
        filter = {};
        filter.lot = QStringLiteral("L1");
        QCOMPARE(startsOf(filter), QStringLiteral("05 02 01"));
        filter = {};
        filter.fixture = QStringLiteral("bench-a");
        QCOMPARE(startsOf(filter), QStringLiteral("03 02"));
        filter = {};
        filter.runId = QStringLiteral("r2");
        QCOMPARE(startsOf(filter), QStringLiteral("05"));
        filter.serial = QStringLiteral("S-");
        QCOMPARE(startsOf(filter), QString());

        // Pruning removes what started before the day, but never a running row.
        const HistoryPruned pruned = HistoryReader::prune(
            location, HistoryTime::parseBound(QStringLiteral("2026-12-06"), HistoryTime::Bound::Since));
        QVERIFY2(pruned.error.ok(), qPrintable(pruned.error.message));
        QCOMPARE(pruned.removed, 4);
        QCOMPARE(startsOf({}), QStringLiteral("05"));
    }

    // Entries of the audit go the way rows do (through the journal, for PostgreSQL) and are read
    // back latest first, filtered by time and token; the journal keeps none once they are sent.
    void auditEntriesAreRecordedAndFiltered()
    {
        HISTORY_LOCATION(m_histories, location);
        struct Entry
        {
            const char* time;
            const char* token;
            const char* method;
            int status;
        };
        const Entry entries[] = {
            {"2026-12-01T10:00:00.000Z", "line-3", "POST", 201},
            {"2026-12-02T23:59:59.999Z", "", "DELETE", 401},
            {"2026-12-03T00:00:00.000Z", "line-3", "PUT", 200},
            {"2026-12-04T12:00:00.000Z", "admin", "POST", 403},
        };
        UpdateHistory history;
        QSignalSpy warnings(&history, &UpdateHistory::warning);
        history.open(location);
        for (const Entry& e : entries) {
            AuditEntry entry;
            entry.time = HistoryTime::parseStored(QString::fromLatin1(e.time));
            entry.token = QString::fromLatin1(e.token);
            entry.client = QStringLiteral("[fd00::7]:50412");
            entry.method = QString::fromLatin1(e.method);
            entry.path = QStringLiteral("/api/v1/firmware/") + full().sha256;
            entry.object = full().sha256;
            entry.status = e.status;
            history.audit(entry);
        }
        history.audit({}); // now, here
        QVERIFY(history.close(20000));
        QCOMPARE(warnings.size(), 0);

        const auto read = [&](const AuditFilter& filter) {
            const AuditRows rows = HistoryReader::audit(location, filter);
            if (!rows.error.ok())
                qWarning("%s", qPrintable(rows.error.message));
            return rows.entries;
        };
        const auto methods = [&](const AuditFilter& filter) {
            QStringList list;
            for (const AuditEntry& e : read(filter))
                list << e.method;
            return list.join(QLatin1Char(' '));
        };
        const QList<AuditEntry> all = read({});
        QCOMPARE(all.size(), 5);
        QVERIFY(all.first().time.secsTo(QDateTime::currentDateTimeUtc()) < 60);
        QCOMPARE(all.first().station, QSysInfo::machineHostName());
        QVERIFY(!all.first().uuid.isEmpty() && all.first().uuid != all.at(1).uuid);
        const AuditEntry& refused = all.at(1);
        QVERIFY(refused.id > 0 && !refused.waiting);
        QCOMPARE(HistoryTime::format(refused.time), QStringLiteral("2026-12-04T12:00:00.000Z"));
        QCOMPARE(refused.token, QStringLiteral("admin"));
        QCOMPARE(refused.client, QStringLiteral("[fd00::7]:50412"));
        QCOMPARE(refused.path, QStringLiteral("/api/v1/firmware/") + full().sha256);
        QCOMPARE(refused.object, full().sha256);
        QCOMPARE(refused.status, 403);

        AuditFilter filter;
        filter.since = HistoryTime::parseBound(QStringLiteral("2026-12-02"), HistoryTime::Bound::Since);
        filter.until = HistoryTime::parseBound(QStringLiteral("2026-12-03"), HistoryTime::Bound::Until);
        QCOMPARE(methods(filter), QStringLiteral("PUT DELETE")); // whole days, both ends
        filter = {};
        filter.token = QStringLiteral("line-3");
        QCOMPARE(methods(filter), QStringLiteral("PUT POST"));
        filter.limit = 1;
        QCOMPARE(methods(filter), QStringLiteral("PUT"));
        filter = {};
        filter.token = QStringLiteral("line");
        QCOMPARE(methods(filter), QString());

        if (!location.isOwnJournal()) {
            QSqlQuery left(TestHistories::inspect(location.journal()));
            QVERIFY(left.exec(QStringLiteral("SELECT count(*) FROM audit")) && left.next());
            QCOMPARE(left.value(0).toInt(), 0);
        }
    }

    void asyncReadsDeliverOnTheCallersThread()
    {
        HISTORY_LOCATION(m_histories, location);
        UpdateRecord r = full();
        const qint64 id =
            record(location, r, {QStringLiteral("succeeded"), {}, {}, 1, 601}, {QStringLiteral("Done!")});
        QVERIFY(id > 0);
        QObject context;
        QString log;
        int listed = -1;
        qint64 removed = -1;
        HistoryReader::byIdAsync(location, id).then(&context, [&](const HistoryRow& row) {
            QCOMPARE(QThread::currentThread(), context.thread());
            log = row.record ? row.record->log : QStringLiteral("none");
        });
        HistoryFilter filter;
        filter.unitHost = r.unitHost;
        HistoryReader::listAsync(location, filter).then(&context, [&](const HistoryRows& rows) {
            listed = int(rows.rows.size());
        });
        QVERIFY(waitUntil([&] { return !log.isEmpty() && listed >= 0; }, 20000));
        QCOMPARE(log, QStringLiteral("Done!"));
        QCOMPARE(listed, 1);
        HistoryReader::pruneAsync(location, QDateTime::currentDateTimeUtc().addYears(5))
            .then(&context, [&](const HistoryPruned& pruned) { removed = pruned.removed; });
        QVERIFY(waitUntil([&] { return removed >= 0; }, 20000));
        QCOMPARE(removed, 1);
    }

    void olderSchemaIsMigratedWithItsRows()
    {
        HISTORY_LOCATION(m_histories, location);
        {
            HistoryConnection connection(location);
            QSqlDatabase db = writable(location, connection, 1); // the first step only
            // Two rows as that version wrote them.
            for (int i = 0; i < 2; ++i)
                QVERIFY(QSqlQuery(db).exec(
                    QStringLiteral(
                        "INSERT INTO updates (started, frontend, host, os_user, program, version, "
                        "product, unit_host, unit_port, file_name, file_path, sha256, records_sent, "
                        "outcome, refusal_code, reason, elapsed, log, run_id, machine_id, boot_id, "
                        "pid, process_start) VALUES ('2026-12-08T03:05:40.123Z', 'cli', 'h', 'u', "
                        "'p', '1', 'Marlin', '%1', 23, 'f.hex', '/f.hex', '', 0, 'succeeded', '', "
                        "'', 1, '', '', 'm', 'b', 1, 1)")
                        .arg(full().unitHost)));
        }
        QSqlDatabase db = TestHistories::inspect(location);
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("SELECT version FROM schema_version")) && query.next());
        QCOMPARE(query.value(0).toInt(), 1);

        HistoryFilter filter;
        filter.unitHost = full().unitHost;
        const HistoryRows rows = HistoryReader::list(location, filter);
        QVERIFY2(rows.error.ok(), qPrintable(rows.error.message));
        QCOMPARE(rows.rows.size(), 2);
        QVERIFY(query.exec(QStringLiteral("SELECT version FROM schema_version")) && query.next());
        QCOMPARE(query.value(0).toInt(), HistorySchema::currentVersion());
        const QString indexes =
            location.kind() == HistoryLocation::SQLite
                ? QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                                 "name = 'updates_by_unit'")
                : QStringLiteral("SELECT count(*) FROM pg_indexes WHERE indexname = 'updates_by_unit'");
        QVERIFY(query.exec(indexes) && query.next());
        QCOMPARE(query.value(0).toInt(), 1);
    }

    void newerSchemaIsRefusedAndLeftAlone()
    {
        HISTORY_LOCATION(m_histories, location);
        QVERIFY(record(location, full(), {QStringLiteral("succeeded"), {}, {}, 1, 601}) > 0);
        QSqlDatabase db = TestHistories::inspect(location);
        QVERIFY(QSqlQuery(db).exec(QStringLiteral("UPDATE schema_version SET version = 99")));

        UpdateHistory history;
        QSignalSpy warnings(&history, &UpdateHistory::warning);
        history.open(location);
        for (int i = 0; i < 3; ++i)
            history.finish(history.begin(full()), {QStringLiteral("succeeded"), {}, {}, 1, 601});
        QVERIFY(waitUntil([&] { return !warnings.isEmpty(); }, 20000));
        history.close();
        QCOMPARE(warnings.size(), 1); // once, not once per update
        QVERIFY2(warnings.at(0).at(0).toString().contains(QLatin1String("newer version")),
                 qPrintable(warnings.at(0).at(0).toString()));
        QCOMPARE(UpdateHistory::checkWritable(location).kind, HistoryError::NewerSchema);
        QCOMPARE(HistoryReader::list(location, {}).error.kind, HistoryError::NewerSchema);

        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("SELECT version FROM schema_version")) && query.next());
        QCOMPARE(query.value(0).toInt(), 99);
        QVERIFY(query.exec(QStringLiteral("SELECT count(*) FROM updates")) && query.next());
        QCOMPARE(query.value(0).toInt(), 1);
    }

    void lockedHistoryKeepsRowsUntilItCanWrite()
    {
        HISTORY_LOCATION(m_histories, location);
        QCOMPARE(UpdateHistory::checkWritable(location).kind, HistoryError::None);
        QSqlDatabase db = TestHistories::inspect(location);
        QSqlQuery lock(db);
        if (location.kind() == HistoryLocation::SQLite)
            QVERIFY(lock.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        else
            QVERIFY(lock.exec(QStringLiteral("BEGIN")) &&
                    lock.exec(QStringLiteral("LOCK TABLE updates IN ACCESS EXCLUSIVE MODE")));

        UpdateHistory history;
        history.setBusyTimeout(200);
        QSignalSpy warnings(&history, &UpdateHistory::warning);
        history.open(location);
        for (int i = 0; i < 5; ++i)
            history.finish(history.begin(full()), {QStringLiteral("succeeded"), {}, {}, 1, 601});
        QVERIFY(waitUntil([&] { return !warnings.isEmpty(); }, 20000));
        QVERIFY2(warnings.at(0).at(0).toString().contains(QLatin1String("cannot be written")),
                 qPrintable(warnings.at(0).at(0).toString()));
        QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
        QSqlQuery count(db);
        QVERIFY(waitUntil(
            [&] {
                return count.exec(QStringLiteral("SELECT count(*) FROM updates")) && count.next() &&
                       count.value(0).toInt() == 5;
            },
            30000));
        QVERIFY(history.close());
        QVERIFY2(warnings.size() == 1, qPrintable(warnings.last().at(0).toString()));
    }

    void abandonedWhenTheWriterIsKilled()
    {
        HISTORY_LOCATION(m_histories, location);
        QCOMPARE(UpdateHistory::checkWritable(location).kind, HistoryError::None);
        // A row of another machine that looks running stays so: its writer cannot be checked.
        {
            HistoryConnection connection(location);
            QSqlDatabase db = writable(location, connection);
            HistoryTable table(db);
            UpdateRecord other = full();
            other.outcome = QStringLiteral("running");
            other.machineId = QStringLiteral("another machine");
            other.bootId = QStringLiteral("another boot");
            other.pid = 1;
            QVERIFY(table.insert(other));
        }

        QProcess writer;
        writer.start(QStringLiteral(HISTORY_TEST_WRITER), {QStringLiteral("hold"), location.display()});
        QVERIFY(writer.waitForStarted());
        QByteArray out;
        QVERIFY(waitUntil(
            [&] {
                out += writer.readAllStandardOutput();
                return out.contains("recorded ");
            },
            30000));
        const qint64 id = out.mid(out.indexOf("recorded ") + 9).trimmed().toLongLong();
        // Its log reaches the row while it runs.
        QVERIFY(waitUntil(
            [&] {
                const HistoryRow row = HistoryReader::byId(location, id);
                return row.record && row.record->log.contains(QLatin1String("Connecting"));
            },
            20000));
        writer.kill(); // SIGKILL
        QVERIFY(writer.waitForFinished());

        const HistoryRows rows = HistoryReader::list(location, {}); // opening marks it
        QVERIFY2(rows.error.ok(), qPrintable(rows.error.message));
        QCOMPARE(rows.rows.size(), 2);
        for (const UpdateRecord& r : rows.rows) {
            if (r.id == id) {
                QCOMPARE(r.outcome, QStringLiteral("abandoned"));
                QVERIFY(!r.ended.isValid());
                QVERIFY(r.reason.contains(QString::number(writer.processId())) ||
                        r.reason.contains(QLatin1String("process")));
            } else {
                QCOMPARE(r.outcome, QStringLiteral("running"));
            }
        }
        if (location.kind() == HistoryLocation::SQLite) {
            QSqlQuery check(TestHistories::inspect(location));
            QVERIFY(check.exec(QStringLiteral("PRAGMA integrity_check")) && check.next());
            QCOMPARE(check.value(0).toString(), QStringLiteral("ok"));
        }
    }

    void concurrentWriterProcessesLoseNoRow()
    {
        HISTORY_LOCATION(m_histories, location);
        constexpr int processes = 4;
        constexpr int each = 250;
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int i = 0; i < processes; ++i) {
            auto writer = std::make_unique<QProcess>();
            writer->setProcessChannelMode(QProcess::MergedChannels);
            writer->start(QStringLiteral(HISTORY_TEST_WRITER),
                          {QStringLiteral("write"), location.display(), QString::number(each)});
            writers.push_back(std::move(writer));
        }
        for (auto& writer : writers) {
            QVERIFY(writer->waitForFinished(120000));
            const QByteArray out = writer->readAll();
            QVERIFY2(writer->exitCode() == 0 && out.contains("closed true") && !out.contains("warning"),
                     out.constData());
        }
        QSqlQuery query(TestHistories::inspect(location));
        QVERIFY(query.exec(QStringLiteral(
                    "SELECT count(*), count(DISTINCT id) FROM updates WHERE outcome = 'succeeded' "
                    "AND log <> ''")) &&
                query.next());
        QCOMPARE(query.value(0).toInt(), processes * each);
        QCOMPARE(query.value(1).toInt(), processes * each);
    }
};

QTEST_GUILESS_MAIN(HistoryStoreTest)
#include "tst_historystore.moc"
