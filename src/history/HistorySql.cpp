#include "history/HistorySql.h"

namespace HistorySql {

QString beginWrite(HistoryLocation::Kind kind)
{
    return kind == HistoryLocation::SQLite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN");
}

QString listTables(HistoryLocation::Kind kind)
{
    if (kind == HistoryLocation::SQLite)
        return QStringLiteral(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'");
    return QStringLiteral(
        "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema()");
}

namespace {

HistoryError::Kind sqliteKind(int code)
{
    switch (code & 0xff) { // the primary result code; Qt may report an extended one
    case 5:                // SQLITE_BUSY
    case 6:                // SQLITE_LOCKED
        return HistoryError::Busy;
    case 8: // SQLITE_READONLY
        return HistoryError::ReadOnly;
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        return HistoryError::NotHistory;
    case 14: // SQLITE_CANTOPEN
        return HistoryError::Unreachable;
    default:
        return HistoryError::Failed;
    }
}

HistoryError::Kind postgresKind(const QSqlError& sqlError)
{
    const QString state = sqlError.nativeErrorCode();
    if (sqlError.type() == QSqlError::ConnectionError || state.startsWith(QLatin1String("08")) ||
        state.startsWith(QLatin1String("57P")))
        return HistoryError::Unreachable;
    if (state == QLatin1String("25006") || state == QLatin1String("42501"))
        return HistoryError::ReadOnly;
    if (state == QLatin1String("57014") || state == QLatin1String("55P03") ||
        state == QLatin1String("40001") || state == QLatin1String("40P01"))
        return HistoryError::Busy;
    // Without an SQL state the driver lost the connection (server gone, socket closed).
    if (state.isEmpty())
        return HistoryError::Unreachable;
    return HistoryError::Failed;
}

} // namespace

HistoryError error(const HistoryLocation& location, const QSqlError& sqlError, const QString& doing)
{
    HistoryError result;
    if (location.kind() == HistoryLocation::SQLite)
        result.kind = sqliteKind(sqlError.nativeErrorCode().toInt());
    else
        result.kind = postgresKind(sqlError);
    // Drivers' texts may run over several lines (libpq's hints): one sentence reads better.
    QString what = sqlError.databaseText().simplified();
    if (what.isEmpty())
        what = sqlError.driverText().simplified();
    while (what.endsWith(QLatin1Char('.')) || what.endsWith(QLatin1Char('?')))
        what.chop(1); // the sentence below ends it
    if (what.isEmpty())
        what = QStringLiteral("unknown error");
    QString verb = doing;
    if (result.kind == HistoryError::NotHistory)
        verb = QStringLiteral("is not a readable update history (it is left as it is)");
    result.message = location.redact(
        QStringLiteral("The update history at %1 %2: %3.").arg(location.display(), verb, what));
    return result;
}

} // namespace HistorySql
