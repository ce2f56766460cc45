#include "history/HistoryReader.h"

#include "history/HistoryConnection.h"
#include "history/HistorySql.h"
#include "history/HistoryTable.h"

#include <QSqlQuery>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

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
    QSqlDatabase& db = connection.database();
    QSqlQuery transaction(db);
    if (!transaction.exec(HistorySql::beginWrite(connection.location().kind())))
        return {}; // busy: reading goes on without the marking
    int marked = 0;
    HistoryTable table(db);
    transaction.exec(table.markAbandoned(ProcessIdentity::current(), &marked) ? QStringLiteral("COMMIT")
                                                                              : QStringLiteral("ROLLBACK"));
    return {};
}

HistoryError readError(const HistoryConnection& connection, const HistoryTable& table)
{
    return HistorySql::error(connection.location(), table.lastError(), QStringLiteral("cannot be read"));
}

} // namespace

HistoryRows HistoryReader::list(const HistoryLocation& location, const HistoryFilter& filter)
{
    HistoryRows result;
    HistoryConnection connection(location);
    result.error = openForReading(connection);
    if (!result.error.ok() || connection.isEmpty())
        return result;
    HistoryTable table(connection.database());
    if (!table.select(filter, &result.rows)) {
        result.rows.clear();
        result.error = readError(connection, table);
    }
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
    if (!table.byId(id, &result.record))
        result.error = readError(connection, table);
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

QFuture<HistoryRow> HistoryReader::byIdAsync(const HistoryLocation& location, qint64 id)
{
    return QtConcurrent::run(readPool(), [location, id] { return byId(location, id); });
}

QFuture<HistoryPruned> HistoryReader::pruneAsync(const HistoryLocation& location, const QDateTime& before)
{
    return QtConcurrent::run(readPool(), [location, before] { return prune(location, before); });
}
