#pragma once

#include "history/HistoryError.h"
#include "history/HistoryLocation.h"

#include <QSqlError>
#include <QString>

// The few places where SQLite and PostgreSQL differ, and how their errors are read.
namespace HistorySql {

QString beginWrite(HistoryLocation::Kind kind); // BEGIN IMMEDIATE takes SQLite's write lock at once
QString listTables(HistoryLocation::Kind kind);

// Sorts a driver error into a kind, with a sentence naming the location.
HistoryError error(const HistoryLocation& location, const QSqlError& sqlError, const QString& doing);

} // namespace HistorySql
