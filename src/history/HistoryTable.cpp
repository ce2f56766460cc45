#include "history/HistoryTable.h"

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
    };
    return all;
}

const Column& logColumn()
{
    static const Column log = text("log", &UpdateRecord::log);
    return log;
}

QString names(const QString& prefix = {}, const QString& suffix = {})
{
    QStringList list;
    for (const Column& column : columns())
        list << prefix + column.name + suffix;
    return list.join(QStringLiteral(", "));
}

void bindRow(QSqlQuery& query, const UpdateRecord& r)
{
    for (const Column& column : columns())
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
    return QStringLiteral("id, ") + names() + (withLog ? QStringLiteral(", log") : QString());
}

} // namespace

HistoryTable::HistoryTable(QSqlDatabase& db) : m_db(db), m_insert(db), m_update(db) {}

bool HistoryTable::fail(const QSqlQuery& query)
{
    m_error = query.lastError();
    return false;
}

bool HistoryTable::insert(UpdateRecord& record)
{
    if (!m_insertPrepared) {
        const QString sql = QStringLiteral("INSERT INTO updates (%1, log) VALUES (%2, :log) RETURNING id")
                                .arg(names(), names(QStringLiteral(":")));
        if (!m_insert.prepare(sql))
            return fail(m_insert);
        m_insertPrepared = true;
    }
    bindRow(m_insert, record);
    if (!m_insert.exec() || !m_insert.next())
        return fail(m_insert);
    record.id = m_insert.value(0).toLongLong();
    m_insert.finish();
    return true;
}

bool HistoryTable::update(const UpdateRecord& record, bool* found)
{
    if (!m_updatePrepared) {
        QStringList assignments;
        for (const Column& column : columns())
            assignments << column.name + QStringLiteral(" = :") + column.name;
        const QString sql = QStringLiteral("UPDATE updates SET %1, log = :log WHERE id = :id")
                                .arg(assignments.join(QStringLiteral(", ")));
        if (!m_update.prepare(sql))
            return fail(m_update);
        m_updatePrepared = true;
    }
    bindRow(m_update, record);
    m_update.bindValue(QStringLiteral(":id"), record.id);
    if (!m_update.exec())
        return fail(m_update);
    if (found)
        *found = m_update.numRowsAffected() > 0;
    m_update.finish();
    return true;
}

bool HistoryTable::select(const HistoryFilter& filter, QList<UpdateRecord>* rows)
{
    QStringList conditions;
    QVariantList values;
    auto where = [&](const QString& condition, const QVariant& value) {
        conditions << condition;
        values << value;
    };
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
    if (!filter.sha256Prefix.isEmpty()) {
        // A range instead of LIKE, so that the index serves it: every hex digit sorts before 'g'.
        const QString prefix = filter.sha256Prefix.toLower();
        where(QStringLiteral("sha256 >= ?"), prefix);
        where(QStringLiteral("sha256 < ?"), prefix + QLatin1Char('g'));
    }
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
    while (query.next())
        rows->append(rowFrom(query, false));
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
    if (!mark.prepare(QStringLiteral("UPDATE updates SET outcome = 'abandoned', reason = ? "
                                     "WHERE id = ? AND outcome = 'running'")))
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
