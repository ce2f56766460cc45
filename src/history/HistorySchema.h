#pragma once

#include "history/HistoryError.h"
#include "history/HistoryLocation.h"

#include <QSqlDatabase>

// The tables, and the ordered steps that bring a database from any earlier version to the
// current one. The version is kept in the table schema_version (one row). A database of a newer
// version is refused and never changed.
namespace HistorySchema {

// The version the steps below end at.
int currentVersion();

// Creates the tables or migrates them to `targetVersion` (the current one unless a test asks for
// an earlier step), inside one write transaction so that processes opening a new history at once
// do not race. Returns the error that stops it.
HistoryError prepare(QSqlDatabase& db, const HistoryLocation& location, int targetVersion = currentVersion());

// The version found, 0 for a database without the history's tables, or the error.
HistoryError readVersion(QSqlDatabase& db, const HistoryLocation& location, int* version);

// The refusal of a database whose schema is newer than this program knows.
HistoryError newerError(const HistoryLocation& location, int version, int known);

} // namespace HistorySchema
