#include "history/HistoryTable.h"

#include "history/HistoryTime.h"

#include <QSqlRecord>
#include <QStringList>
#include <QVariant>

namespace {

// Every column but id and the log, in the order rowFrom reads them.
const QStringList& columns()
{
    static const QStringList names = {
        QStringLiteral("started"),       QStringLiteral("ended"),     QStringLiteral("frontend"),
        QStringLiteral("host"),          QStringLiteral("os_user"),   QStringLiteral("program"),
        QStringLiteral("version"),       QStringLiteral("product"),   QStringLiteral("unit_host"),
        QStringLiteral("unit_port"),     QStringLiteral("file_name"), QStringLiteral("file_path"),
        QStringLiteral("file_size"),     QStringLiteral("sha256"),    QStringLiteral("records_total"),
        QStringLiteral("records_sent"),  QStringLiteral("outcome"),   QStringLiteral("refusal_code"),
        QStringLiteral("reason"),        QStringLiteral("elapsed"),   QStringLiteral("run_id"),
        QStringLiteral("machine_id"),    QStringLiteral("boot_id"),   QStringLiteral("pid"),
        QStringLiteral("process_start"),
    };
    return names;
}

QVariant text(const QString& value)
{
    return value.isNull() ? QString(QLatin1String("")) : value; // NOT NULL columns take "" for none
}

QVariant optionalCount(qint64 value)
{
    return value < 0 ? QVariant(QMetaType::fromType<qint64>()) : QVariant(value);
}

void bindRow(QSqlQuery& query, const UpdateRecord& r)
{
    const QString ended = HistoryTime::format(r.ended);
    const QVariantList values = {
        HistoryTime::format(r.started),
        ended.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(ended),
        text(r.frontend),
        text(r.host),
        text(r.user),
        text(r.program),
        text(r.version),
        text(r.product),
        text(r.unitHost),
        r.unitPort,
        text(r.fileName),
        text(r.filePath),
        optionalCount(r.fileSize),
        text(r.sha256),
        optionalCount(r.recordsTotal),
        r.recordsSent,
        text(r.outcome),
        text(r.refusalCode),
        text(r.reason),
        r.elapsedSeconds,
        text(r.runId),
        text(r.machineId),
        text(r.bootId),
        r.pid,
        r.processStart,
    };
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(QLatin1Char(':') + columns().at(i), values.at(i));
    query.bindValue(QStringLiteral(":log"), text(r.log));
}

qint64 countOr(const QVariant& value, qint64 none)
{
    return value.isNull() ? none : value.toLongLong();
}

UpdateRecord rowFrom(const QSqlQuery& query, bool withLog)
{
    UpdateRecord r;
    int i = 0;
    r.id = query.value(i++).toLongLong();
    r.started = HistoryTime::parseStored(query.value(i++).toString());
    r.ended = HistoryTime::parseStored(query.value(i++).toString());
    r.frontend = query.value(i++).toString();
    r.host = query.value(i++).toString();
    r.user = query.value(i++).toString();
    r.program = query.value(i++).toString();
    r.version = query.value(i++).toString();
    r.product = query.value(i++).toString();
    r.unitHost = query.value(i++).toString();
    r.unitPort = query.value(i++).toInt();
    r.fileName = query.value(i++).toString();
    r.filePath = query.value(i++).toString();
    r.fileSize = countOr(query.value(i++), -1);
    r.sha256 = query.value(i++).toString();
    r.recordsTotal = countOr(query.value(i++), -1);
    r.recordsSent = query.value(i++).toLongLong();
    r.outcome = query.value(i++).toString();
    r.refusalCode = query.value(i++).toString();
    r.reason = query.value(i++).toString();
    r.elapsedSeconds = query.value(i++).toDouble();
    r.runId = query.value(i++).toString();
    r.machineId = query.value(i++).toString();
    r.bootId = query.value(i++).toString();
    r.pid = query.value(i++).toLongLong();
    r.processStart = query.value(i++).toLongLong();
    if (withLog)
        r.log = query.value(i++).toString();
    return r;
}

QString selectColumns(bool withLog)
{
    return QStringLiteral("id, ") + columns().join(QStringLiteral(", ")) +
           (withLog ? QStringLiteral(", log") : QString());
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
        QStringList placeholders;
        for (const QString& column : columns())
            placeholders << QLatin1Char(':') + column;
        const QString sql =
            QStringLiteral("INSERT INTO updates (%1, log) VALUES (%2, :log) RETURNING id")
                .arg(columns().join(QStringLiteral(", ")), placeholders.join(QStringLiteral(", ")));
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
        for (const QString& column : columns())
            assignments << column + QStringLiteral(" = :") + column;
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
