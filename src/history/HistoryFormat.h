#pragma once

#include "history/AuditEntry.h"
#include "history/UpdateRecord.h"

#include <QJsonObject>
#include <QList>
#include <QString>

// The ways the front ends show history rows: a table for people, one JSON object per row, and CSV.
namespace HistoryFormat {

// "host:port", with an IPv6 address in brackets: "[fd00::5]:2323".
QString unit(const QString& host, int port);

// Text that came from a file name, a unit or a log, made safe for a terminal: control characters
// and characters that reorder text are written as escapes, the way git shows such paths ("\033",
// "\t", "\342\200\256"); a backslash becomes "\\" so that an escape cannot be faked.
QString escapeControls(const QString& text);

// ID, STARTED, UNIT, OUTCOME, RECORDS (sent/total), ELAPSED, FILE, SHA256 (first 12 digits),
// columns aligned, one line per row, every line ending in '\n'. SERIAL, LOT, FIXTURE and STARTED BY
// (after UNIT) and ATTEMPT (after OUTCOME) are there when some row has one (an attempt above 1). The ID of a
// row that waits on this computer ends in '*' (and is only that while the history has no row of it).
QString table(const QList<UpdateRecord>& rows);
// One row in full for people, the log last (escaped, line by line).
QString details(const UpdateRecord& record);

// Keys: id, started, ended, frontend, host, user, program, version, product, unit, file, path,
// size, sha256, records_sent, records_total, outcome, refusal_code, reason, elapsed, run, serial,
// lot, fixture, attempt, uuid, waiting (recorded on this computer, not yet in the shared history),
// started_by; and log when withLog.
// Unknown times, size, records_total and uuid are null.
QJsonObject json(const UpdateRecord& record, bool withLog = false);

// RFC 4180: a header line, then one line per row, each ending in CRLF; a field with a comma, a
// quote or a line break is quoted, quotes doubled. A text field that a spreadsheet would run as a
// formula (starting with =, +, -, @, a tab or a carriage return) gets a leading apostrophe.
// Columns are only ever added at the end, so that readers of older files keep working.
QString csvHeader();
QString csvRow(const UpdateRecord& record);
QString csv(const QList<UpdateRecord>& rows);

// The audit's entries the same three ways: TIME, STATION, TOKEN, CLIENT, METHOD, PATH, OBJECT,
// STATUS (no token or object: "-"; the TIME of an entry that waits on this computer ends in '*');
// keys id, time, station, token, client, method, path, object, status, waiting; CSV the columns
// id, time, station, token, client, method, path, object, status.
QString auditTable(const QList<AuditEntry>& entries);
QJsonObject auditJson(const AuditEntry& entry);
QString auditCsv(const QList<AuditEntry>& entries);

} // namespace HistoryFormat
