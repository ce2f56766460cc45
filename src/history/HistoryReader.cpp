#include "history/HistoryReader.h"

#include "history/AuditTable.h"
#include "history/HistoryConnection.h"
#include "history/HistorySql.h"
#include "history/HistoryTable.h"

#include <QHash>
#include <QSet>
#include <QSqlQuery>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace {

constexpr int readBusyTimeoutMs = 5000;

QThreadPool* readPool()
{
    // Its own pool: a read that waits for a slow server must not hold up the global one.
    static QThreadPool pool;
    static const bool sized = [] {
        pool.setMaxThreadCount(4);
        pool.setExpiryTimeout(10000);
        return true;
    }();
    Q_UNUSED(sized);
    return &pool;
}

// Opens for reading; when it may write, rows of crashed writers are marked first so that reads
// show them as they are.
HistoryError openForReading(HistoryConnection& connection)
{
    HistoryError error = connection.open(HistoryConnection::Purpose::Read, readBusyTimeoutMs);
    if (!error.ok() || connection.isEmpty() || connection.isReadOnly())
        return error;
    HistoryTable(connection.database())
        .markAbandonedNow(ProcessIdentity::current(), connection.location().kind());
    return {};
}

HistoryError readError(const HistoryConnection& connection, const HistoryTable& table)
{
    return HistorySql::error(connection.location(), table.lastError(), QStringLiteral("cannot be read"));
}

// The rows of this computer's journal that a shared history does not have yet, at their latest
// state, as the filter selects them (none when the history is its own journal).
QList<UpdateRecord> waitingRows(const HistoryLocation& location, const HistoryFilter& filter)
{
    QList<UpdateRecord> rows;
    if (location.isOwnJournal())
        return rows;
    HistoryConnection journal(location.journal());
    if (!openForReading(journal).ok() || journal.isEmpty())
        return rows;
    HistoryTable(journal.database()).select(filter, &rows, location.display());
    return rows;
}

// The shared history's rows with this computer's later states in their place and the rows it does
// not have at all added, latest first, within the filter's limit.
void mergeWaiting(QList<UpdateRecord>& rows, const QList<UpdateRecord>& waiting, int limit)
{
    if (waiting.isEmpty())
        return;
    QHash<QString, qsizetype> byUuid;
    for (qsizetype i = 0; i < rows.size(); ++i)
        if (!rows.at(i).uuid.isEmpty())
            byUuid.insert(rows.at(i).uuid, i);
    for (UpdateRecord row : waiting) {
        const auto known = byUuid.constFind(row.uuid);
        if (known != byUuid.cend()) {
            row.id = rows.at(*known).id;
            rows[*known] = row;
        } else {
            row.id = 0; // the journal's numbers are its own: the row has none in the history yet
            rows.append(row);
        }
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const UpdateRecord& a, const UpdateRecord& b) { return a.started > b.started; });
    if (limit > 0 && rows.size() > limit)
        rows.resize(limit);
}

// The same for the audit: the entries waiting here that the shared history does not have yet.
QList<AuditEntry> waitingEntries(const HistoryLocation& location, const AuditFilter& filter)
{
    QList<AuditEntry> entries;
    if (location.isOwnJournal())
        return entries;
    HistoryConnection journal(location.journal());
    if (!openForReading(journal).ok() || journal.isEmpty())
        return entries;
    AuditTable(journal.database()).select(filter, &entries, location.display());
    return entries;
}

void mergeWaiting(QList<AuditEntry>& entries, const QList<AuditEntry>& waiting, int limit)
{
    if (waiting.isEmpty())
        return;
    QSet<QString> known;
    for (const AuditEntry& entry : std::as_const(entries))
        known.insert(entry.uuid);
    for (AuditEntry entry : waiting) {
        if (known.contains(entry.uuid))
            continue; // sent, and not yet noted here
        entry.id = 0;
        entries.append(entry);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const AuditEntry& a, const AuditEntry& b) { return a.time > b.time; });
    if (limit > 0 && entries.size() > limit)
        entries.resize(limit);
}

} // namespace

HistoryRows HistoryReader::list(const HistoryLocation& location, const HistoryFilter& filter)
{
    HistoryRows result;
    const QList<UpdateRecord> waiting = waitingRows(location, filter);
    HistoryConnection connection(location);
    result.error = openForReading(connection);
    if (result.error.ok() && !connection.isEmpty()) {
        HistoryTable table(connection.database());
        if (!table.select(filter, &result.rows)) {
            result.rows.clear();
            result.error = readError(connection, table);
        }
    }
    // Even when the shared history cannot be read: what waits here is shown, marked so.
    mergeWaiting(result.rows, waiting, filter.limit);
    return result;
}

AuditRows HistoryReader::audit(const HistoryLocation& location, const AuditFilter& filter)
{
    AuditRows result;
    const QList<AuditEntry> waiting = waitingEntries(location, filter);
    HistoryConnection connection(location);
    result.error = openForReading(connection);
    if (result.error.ok() && !connection.isEmpty()) {
        AuditTable table(connection.database());
        if (!table.select(filter, &result.entries)) {
            result.entries.clear();
            result.error = HistorySql::error(location, table.lastError(), QStringLiteral("cannot be read"));
        }
    }
    mergeWaiting(result.entries, waiting, filter.limit);
    return result;
}

HistoryRow HistoryReader::byId(const HistoryLocation& location, qint64 id)
{
    HistoryRow result;
    HistoryConnection connection(location);
    result.error = openForReading(connection);
    if (!result.error.ok() || connection.isEmpty())
        return result;
    HistoryTable table(connection.database());
    if (!table.byId(id, &result.record)) {
        result.error = readError(connection, table);
        return result;
    }
    if (!result.record || result.record->uuid.isEmpty() || location.isOwnJournal())
        return result;
    // This computer may know more of it than the history has yet.
    HistoryConnection journal(location.journal());
    if (!openForReading(journal).ok() || journal.isEmpty())
        return result;
    std::optional<UpdateRecord> local;
    HistoryTable journalTable(journal.database());
    if (journalTable.byUuid(result.record->uuid, &local) && local &&
        local->revision > result.record->revision && local->forwardTo == location.display()) {
        local->id = result.record->id;
        local->waiting = true;
        result.record = local;
    }
    return result;
}

HistoryPruned HistoryReader::prune(const HistoryLocation& location, const QDateTime& before)
{
    HistoryPruned result;
    HistoryConnection connection(location);
    result.error = openForReading(connection);
    if (!result.error.ok() || connection.isEmpty())
        return result;
    if (connection.isReadOnly()) {
        result.error.kind = HistoryError::ReadOnly;
        result.error.message =
            QStringLiteral("The update history at %1 is read-only: nothing can be removed.")
                .arg(location.display());
        return result;
    }
    QSqlDatabase& db = connection.database();
    QSqlQuery transaction(db);
    HistoryTable table(db);
    if (!transaction.exec(HistorySql::beginWrite(location.kind()))) {
        result.error =
            HistorySql::error(location, transaction.lastError(), QStringLiteral("cannot be written"));
        return result;
    }
    if (!table.prune(before, &result.removed)) {
        result.error = HistorySql::error(location, table.lastError(), QStringLiteral("cannot be written"));
        result.removed = 0;
        transaction.exec(QStringLiteral("ROLLBACK"));
        return result;
    }
    if (!transaction.exec(QStringLiteral("COMMIT"))) {
        result.error =
            HistorySql::error(location, transaction.lastError(), QStringLiteral("cannot be written"));
        result.removed = 0;
    }
    return result;
}

QFuture<HistoryRows> HistoryReader::listAsync(const HistoryLocation& location, const HistoryFilter& filter)
{
    return QtConcurrent::run(readPool(), [location, filter] { return list(location, filter); });
}

QFuture<AuditRows> HistoryReader::auditAsync(const HistoryLocation& location, const AuditFilter& filter)
{
    return QtConcurrent::run(readPool(), [location, filter] { return audit(location, filter); });
}

QFuture<HistoryRow> HistoryReader::byIdAsync(const HistoryLocation& location, qint64 id)
{
    return QtConcurrent::run(readPool(), [location, id] { return byId(location, id); });
}

QFuture<HistoryPruned> HistoryReader::pruneAsync(const HistoryLocation& location, const QDateTime& before)
{
    return QtConcurrent::run(readPool(), [location, before] { return prune(location, before); });
}
