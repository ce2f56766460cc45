#include "history/HistoryTable.h"

#include "history/HistorySql.h"
#include "history/HistoryTime.h"

#include <QSqlRecord>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <vector>

namespace {

// One column of the table of updates: its name and how a record's field goes into it and comes
// back. Every column but id and the log is declared here once, in the order of the statements.
struct Column
{
    QString name;
    std::function<QVariant(const UpdateRecord&)> value;
    std::function<void(UpdateRecord&, const QVariant&)> read;
    bool written = true; // false: kept by the database's own statements (what was forwarded)
};

// NOT NULL text columns take "" for none.
Column text(const char* name, QString UpdateRecord::*field)
{
    return {QString::fromLatin1(name),
            [field](const UpdateRecord& r) {
                const QString& value = r.*field;
                return value.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(value);
            },
            [field](UpdateRecord& r, const QVariant& v) { r.*field = v.toString(); }};
}

// NULL for an unknown count (-1).
Column optionalCount(const char* name, qint64 UpdateRecord::*field)
{
    return {QString::fromLatin1(name),
            [field](const UpdateRecord& r) {
                return r.*field < 0 ? QVariant(QMetaType::fromType<qint64>()) : QVariant(r.*field);
            },
            [field](UpdateRecord& r, const QVariant& v) { r.*field = v.isNull() ? -1 : v.toLongLong(); }};
}

// NULL when empty: the column is unique, and rows written before it existed have none.
Column optionalText(const char* name, QString UpdateRecord::*field)
{
    return {QString::fromLatin1(name),
            [field](const UpdateRecord& r) {
                const QString& value = r.*field;
                return value.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(value);
            },
            [field](UpdateRecord& r, const QVariant& v) { r.*field = v.toString(); }};
}

template <typename Number> Column number(const char* name, Number UpdateRecord::*field)
{
    return {QString::fromLatin1(name),
            [field](const UpdateRecord& r) { return QVariant::fromValue(r.*field); },
            [field](UpdateRecord& r, const QVariant& v) { r.*field = v.value<Number>(); }};
}

// Stored as text that sorts as the time does; an invalid time is NULL.
Column time(const char* name, QDateTime UpdateRecord::*field)
{
    return {
        QString::fromLatin1(name),
        [field](const UpdateRecord& r) {
            const QString stored = HistoryTime::format(r.*field);
            return stored.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(stored);
        },
        [field](UpdateRecord& r, const QVariant& v) { r.*field = HistoryTime::parseStored(v.toString()); }};
}

Column readOnly(Column column)
{
    column.written = false;
    return column;
}

const std::vector<Column>& columns()
{
    static const std::vector<Column> all = {
        time("started", &UpdateRecord::started),
        time("ended", &UpdateRecord::ended),
        text("frontend", &UpdateRecord::frontend),
        text("host", &UpdateRecord::host),
        text("os_user", &UpdateRecord::user),
        text("program", &UpdateRecord::program),
        text("version", &UpdateRecord::version),
        text("product", &UpdateRecord::product),
        text("unit_host", &UpdateRecord::unitHost),
        number("unit_port", &UpdateRecord::unitPort),
        text("file_name", &UpdateRecord::fileName),
        text("file_path", &UpdateRecord::filePath),
        optionalCount("file_size", &UpdateRecord::fileSize),
        text("sha256", &UpdateRecord::sha256),
        optionalCount("records_total", &UpdateRecord::recordsTotal),
        number("records_sent", &UpdateRecord::recordsSent),
        text("outcome", &UpdateRecord::outcome),
        text("refusal_code", &UpdateRecord::refusalCode),
        text("reason", &UpdateRecord::reason),
        number("elapsed", &UpdateRecord::elapsedSeconds),
        text("run_id", &UpdateRecord::runId),
        text("machine_id", &UpdateRecord::machineId),
        text("boot_id", &UpdateRecord::bootId),
        number("pid", &UpdateRecord::pid),
        number("process_start", &UpdateRecord::processStart),
        optionalText("uuid", &UpdateRecord::uuid),
        number("revision", &UpdateRecord::revision),
        text("forward_to", &UpdateRecord::forwardTo),
        readOnly(number("forwarded_revision", &UpdateRecord::forwardedRevision)),
        text("serial", &UpdateRecord::serial),
        text("lot", &UpdateRecord::lot),
        text("fixture", &UpdateRecord::fixture),
        number("attempt", &UpdateRecord::attempt),
        text("signer", &UpdateRecord::signer),
        text("started_by", &UpdateRecord::startedBy),
    };
    return all;
}

const Column& logColumn()
{
    static const Column log = text("log", &UpdateRecord::log);
    return log;
}

// The columns a statement reads (all) or writes (those the record decides).
QString names(bool writtenOnly, const QString& prefix = {})
{
    QStringList list;
    for (const Column& column : columns())
        if (column.written || !writtenOnly)
            list << prefix + column.name;
    return list.join(QStringLiteral(", "));
}

void bindRow(QSqlQuery& query, const UpdateRecord& r)
{
    for (const Column& column : columns())
        if (column.written)
            query.bindValue(QLatin1Char(':') + column.name, column.value(r));
    query.bindValue(QStringLiteral(":log"), logColumn().value(r));
}

UpdateRecord rowFrom(const QSqlQuery& query, bool withLog)
{
    UpdateRecord r;
    int i = 0;
    r.id = query.value(i++).toLongLong();
    for (const Column& column : columns())
        column.read(r, query.value(i++));
    if (withLog)
        logColumn().read(r, query.value(i++));
    return r;
}

QString selectColumns(bool withLog)
{
    return QStringLiteral("id, ") + names(false) + (withLog ? QStringLiteral(", log") : QString());
}

} // namespace

HistoryTable::HistoryTable(QSqlDatabase& db) : m_db(db), m_save(db) {}

bool HistoryTable::fail(const QSqlQuery& query)
{
    m_error = query.lastError();
    return false;
}

bool HistoryTable::insert(UpdateRecord& record)
{
    bool applied = false;
    return save(record, &applied);
}

bool HistoryTable::save(UpdateRecord& record, bool* applied)
{
    if (!m_savePrepared) {
        QStringList assignments;
        for (const Column& column : columns())
            if (column.written && column.name != QLatin1String("uuid"))
                assignments << column.name + QStringLiteral(" = excluded.") + column.name;
        // A state that is no later than the one held changes nothing: the same update may come
        // twice, from two programs, or out of order.
        const QString sql =
            QStringLiteral("INSERT INTO updates (%1, log) VALUES (%2, :log) ON CONFLICT (uuid) DO UPDATE SET "
                           "%3, log = excluded.log WHERE updates.revision < excluded.revision RETURNING id")
                .arg(names(true), names(true, QStringLiteral(":")), assignments.join(QStringLiteral(", ")));
        if (!m_save.prepare(sql))
            return fail(m_save);
        m_savePrepared = true;
    }
    bindRow(m_save, record);
    if (!m_save.exec())
        return fail(m_save);
    *applied = m_save.next();
    if (*applied)
        record.id = m_save.value(0).toLongLong();
    m_save.finish();
    return true;
}

bool HistoryTable::select(const HistoryFilter& filter, QList<UpdateRecord>* rows, const QString& waitingFor)
{
    QStringList conditions;
    QVariantList values;
    auto where = [&](const QString& condition, const QVariant& value) {
        conditions << condition;
        values << value;
    };
    if (!waitingFor.isEmpty()) {
        where(QStringLiteral("forward_to = ?"), waitingFor);
        conditions << QStringLiteral("forwarded_revision < revision");
    }
    if (!filter.unitHost.isEmpty())
        where(QStringLiteral("unit_host = ?"), filter.unitHost);
    if (!filter.unitHost.isEmpty() && filter.unitPort > 0)
        where(QStringLiteral("unit_port = ?"), filter.unitPort);
    if (filter.since.isValid())
        where(QStringLiteral("started >= ?"), HistoryTime::format(filter.since));
    if (filter.until.isValid())
        where(QStringLiteral("started <= ?"), HistoryTime::format(filter.until));
    if (!filter.outcome.isEmpty())
        where(QStringLiteral("outcome = ?"), filter.outcome);
    if (!filter.serial.isEmpty())
        where(QStringLiteral("serial = ?"), filter.serial);
    if (!filter.lot.isEmpty())
        where(QStringLiteral("lot = ?"), filter.lot);
    if (!filter.fixture.isEmpty())
        where(QStringLiteral("fixture = ?"), filter.fixture);
    if (!filter.runId.isEmpty())
        where(QStringLiteral("run_id = ?"), filter.runId);
    if (!filter.sha256Prefix.isEmpty()) {
        // A range instead of LIKE, so that the index serves it: every hex digit sorts before 'g'.
        const QString prefix = filter.sha256Prefix.toLower();
        where(QStringLiteral("sha256 >= ?"), prefix);
        where(QStringLiteral("sha256 < ?"), prefix + QLatin1Char('g'));
    }
    if (!filter.signer.isEmpty())
        where(QStringLiteral("signer = ?"), filter.signer);
    QString sql = QStringLiteral("SELECT %1 FROM updates").arg(selectColumns(false));
    if (!conditions.isEmpty())
        sql += QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
    sql += QStringLiteral(" ORDER BY started DESC, id DESC");
    if (filter.limit > 0)
        sql += QStringLiteral(" LIMIT %1").arg(filter.limit);

    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return fail(query);
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(int(i), values.at(i));
    if (!query.exec())
        return fail(query);
    while (query.next()) {
        rows->append(rowFrom(query, false));
        rows->last().waiting = !waitingFor.isEmpty();
    }
    return true;
}

bool HistoryTable::byId(qint64 id, std::optional<UpdateRecord>* record)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT %1 FROM updates WHERE id = ?").arg(selectColumns(true))))
        return fail(query);
    query.bindValue(0, id);
    if (!query.exec())
        return fail(query);
    record->reset();
    if (query.next())
        *record = rowFrom(query, true);
    return true;
}

bool HistoryTable::byUuid(const QString& uuid, std::optional<UpdateRecord>* record)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT %1 FROM updates WHERE uuid = ?").arg(selectColumns(true))))
        return fail(query);
    query.bindValue(0, uuid);
    if (!query.exec())
        return fail(query);
    record->reset();
    if (query.next())
        *record = rowFrom(query, true);
    return true;
}

bool HistoryTable::prune(const QDateTime& before, qint64* removed)
{
    QSqlQuery query(m_db);
    if (!query.prepare(QStringLiteral("DELETE FROM updates WHERE started < ? AND outcome <> 'running'")))
        return fail(query);
    query.bindValue(0, HistoryTime::format(before));
    if (!query.exec())
        return fail(query);
    *removed = query.numRowsAffected();
    return true;
}

bool HistoryTable::markAbandoned(const ProcessIdentity& self, int* marked)
{
    *marked = 0;
    QSqlQuery running(m_db);
    running.setForwardOnly(true);
    // The literal 'running' lets both databases use the partial index.
    if (!running.prepare(QStringLiteral("SELECT id, boot_id, pid, process_start FROM updates "
                                        "WHERE outcome = 'running' AND machine_id = ?")))
        return fail(running);
    running.bindValue(0, self.machineId);
    if (!running.exec())
        return fail(running);
    struct Gone
    {
        qint64 id, pid;
    };
    QList<Gone> gone;
    while (running.next()) {
        const qint64 pid = running.value(2).toLongLong();
        if (!self.stillRuns(self.machineId, running.value(1).toString(), pid, running.value(3).toLongLong()))
            gone.append({running.value(0).toLongLong(), pid});
    }
    running.finish();
    if (gone.isEmpty())
        return true;

    const QString noticed = HistoryTime::format(QDateTime::currentDateTimeUtc());
    QSqlQuery mark(m_db);
    if (!mark.prepare(QStringLiteral("UPDATE updates SET outcome = 'abandoned', reason = ?, "
                                     "revision = revision + 1 WHERE id = ? AND outcome = 'running'")))
        return fail(mark);
    for (const Gone& row : gone) {
        mark.bindValue(
            0, QStringLiteral("The program recording this update (process %1) ended before the update "
                              "did; noticed at %2.")
                   .arg(row.pid)
                   .arg(noticed));
        mark.bindValue(1, row.id);
        if (!mark.exec())
            return fail(mark);
        *marked += mark.numRowsAffected() > 0 ? 1 : 0;
    }
    return true;
}

bool HistoryTable::waitingRows(const QString& target, int limit, QList<UpdateRecord>* rows)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral("SELECT %1 FROM updates WHERE forward_to = ? AND forwarded_revision < revision "
                           "ORDER BY id LIMIT %2")
                .arg(selectColumns(true))
                .arg(limit)))
        return fail(query);
    query.bindValue(0, target);
    if (!query.exec())
        return fail(query);
    while (query.next())
        rows->append(rowFrom(query, true));
    return true;
}

bool HistoryTable::markForwarded(const UpdateRecord& record)
{
    QSqlQuery query(m_db);
    if (!query.prepare(QStringLiteral("UPDATE updates SET forwarded_revision = ? WHERE uuid = ? AND "
                                      "forwarded_revision < ?")))
        return fail(query);
    query.bindValue(0, record.revision);
    query.bindValue(1, record.uuid);
    query.bindValue(2, record.revision);
    return query.exec() || fail(query);
}

bool HistoryTable::pruneForwarded(const QString& target)
{
    QSqlQuery query(m_db);
    if (!query.prepare(
            QStringLiteral("DELETE FROM updates WHERE forward_to = ? AND forwarded_revision >= revision "
                           "AND outcome <> 'running'")))
        return fail(query);
    query.bindValue(0, target);
    return query.exec() || fail(query);
}

bool HistoryTable::countWaiting(const QString& target, const ProcessIdentity* writer, qint64* count,
                                QDateTime* oldest)
{
    QSqlQuery query(m_db);
    QString sql = QStringLiteral("SELECT count(*), min(started) FROM updates WHERE forward_to = ? AND "
                                 "forwarded_revision < revision");
    if (writer)
        sql += QStringLiteral(" AND machine_id = ? AND pid = ? AND process_start = ?");
    if (!query.prepare(sql))
        return fail(query);
    query.bindValue(0, target);
    if (writer) {
        query.bindValue(1, writer->machineId);
        query.bindValue(2, writer->pid);
        query.bindValue(3, writer->startTime);
    }
    if (!query.exec() || !query.next())
        return fail(query);
    *count = query.value(0).toLongLong();
    if (oldest)
        *oldest = HistoryTime::parseStored(query.value(1).toString());
    return true;
}

bool HistoryTable::markAbandonedNow(const ProcessIdentity& self, HistoryLocation::Kind kind)
{
    if (kind != HistoryLocation::SQLite)
        return true;
    QSqlQuery transaction(m_db);
    if (!transaction.exec(HistorySql::beginWrite(kind)))
        return fail(transaction);
    int marked = 0;
    if (!markAbandoned(self, &marked)) {
        QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return transaction.exec(QStringLiteral("COMMIT")) || fail(transaction);
}
