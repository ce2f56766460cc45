#include "history/AuditTable.h"

#include "history/HistoryTime.h"

#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace {

const QString columns =
    QStringLiteral("id, uuid, time, station, token, client, method, path, object, status");

AuditEntry entryFrom(const QSqlQuery& query)
{
    AuditEntry e;
    e.id = query.value(0).toLongLong();
    e.uuid = query.value(1).toString();
    e.time = HistoryTime::parseStored(query.value(2).toString());
    e.station = query.value(3).toString();
    e.token = query.value(4).toString();
    e.client = query.value(5).toString();
    e.method = query.value(6).toString();
    e.path = query.value(7).toString();
    e.object = query.value(8).toString();
    e.status = query.value(9).toInt();
    return e;
}

// NOT NULL text columns take "" for none.
QVariant text(const QString& value)
{
    return value.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(value);
}

} // namespace

AuditTable::AuditTable(QSqlDatabase& db) : m_db(db) {}

bool AuditTable::fail(const QSqlError& error)
{
    m_error = error;
    return false;
}

bool AuditTable::insert(AuditEntry& entry, const QString& forwardTo, bool* added)
{
    QSqlQuery query(m_db);
    if (!query.prepare(QStringLiteral(
            "INSERT INTO audit (uuid, time, station, token, client, method, path, object, status, "
            "forward_to) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (uuid) DO NOTHING RETURNING id")))
        return fail(query.lastError());
    const QVariantList values{entry.uuid,          HistoryTime::format(entry.time),
                              text(entry.station), text(entry.token),
                              text(entry.client),  text(entry.method),
                              text(entry.path),    text(entry.object),
                              entry.status,        text(forwardTo)};
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(int(i), values.at(i));
    if (!query.exec())
        return fail(query.lastError());
    const bool inserted = query.next();
    if (inserted)
        entry.id = query.value(0).toLongLong();
    if (added)
        *added = inserted;
    return true;
}

bool AuditTable::select(const AuditFilter& filter, QList<AuditEntry>* entries, const QString& waitingFor)
{
    QStringList conditions;
    QVariantList values;
    auto where = [&](const QString& condition, const QVariant& value) {
        conditions << condition;
        values << value;
    };
    if (!waitingFor.isEmpty()) {
        where(QStringLiteral("forward_to = ?"), waitingFor);
        conditions << QStringLiteral("forwarded = 0");
    }
    if (filter.since.isValid())
        where(QStringLiteral("time >= ?"), HistoryTime::format(filter.since));
    if (filter.until.isValid())
        where(QStringLiteral("time <= ?"), HistoryTime::format(filter.until));
    if (!filter.token.isEmpty())
        where(QStringLiteral("token = ?"), filter.token);
    QString sql = QStringLiteral("SELECT %1 FROM audit").arg(columns);
    if (!conditions.isEmpty())
        sql += QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
    sql += QStringLiteral(" ORDER BY time DESC, id DESC");
    if (filter.limit > 0)
        sql += QStringLiteral(" LIMIT %1").arg(filter.limit);

    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return fail(query.lastError());
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(int(i), values.at(i));
    if (!query.exec())
        return fail(query.lastError());
    while (query.next()) {
        entries->append(entryFrom(query));
        entries->last().waiting = !waitingFor.isEmpty();
    }
    return true;
}

bool AuditTable::waitingEntries(const QString& target, int limit, QList<AuditEntry>* entries)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral("SELECT %1 FROM audit WHERE forward_to = ? AND forwarded = 0 ORDER BY id LIMIT %2")
                .arg(columns)
                .arg(limit)))
        return fail(query.lastError());
    query.bindValue(0, target);
    if (!query.exec())
        return fail(query.lastError());
    while (query.next())
        entries->append(entryFrom(query));
    return true;
}

bool AuditTable::markForwarded(const QList<AuditEntry>& entries, const QString& target)
{
    QSqlQuery mark(m_db);
    if (!mark.prepare(QStringLiteral("UPDATE audit SET forwarded = 1 WHERE uuid = ?")))
        return fail(mark.lastError());
    for (const AuditEntry& entry : entries) {
        mark.bindValue(0, entry.uuid);
        if (!mark.exec())
            return fail(mark.lastError());
    }
    // An entry never changes: once the shared history has it, it need not stay here.
    QSqlQuery prune(m_db);
    if (!prune.prepare(QStringLiteral("DELETE FROM audit WHERE forward_to = ? AND forwarded = 1")))
        return fail(prune.lastError());
    prune.bindValue(0, target);
    return prune.exec() || fail(prune.lastError());
}
