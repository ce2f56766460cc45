#pragma once

#include "history/HistoryFilter.h"

#include <QString>
#include <QStringList>

// A history filter as people type it, the same in uploader-cli history and the window's History
// dialog. Each function returns false with a short reason (without the text itself).
namespace HistoryFilterText {

// HOST, HOST:PORT or [IPV6]:PORT; a host alone (or a bare IPv6 address) matches every port.
bool parseUnit(const QString& text, HistoryFilter* filter, QString* error);
// "YYYY-MM-DD" or an ISO 8601 date and time; see HistoryTime::parseBound.
bool parseSince(const QString& text, HistoryFilter* filter, QString* error);
bool parseUntil(const QString& text, HistoryFilter* filter, QString* error);
// Any case; stored lower-case.
bool parseOutcome(const QString& text, HistoryFilter* filter, QString* error);
// 1 to 64 hex digits, any case.
bool parseSha256Prefix(const QString& text, HistoryFilter* filter, QString* error);
// A unit's serial number, a lot or work order: printable text of 1 to 64 characters, trimmed;
// matched exactly.
bool parseSerial(const QString& text, HistoryFilter* filter, QString* error);
bool parseLot(const QString& text, HistoryFilter* filter, QString* error);
// A fixture's name as the fixtures file has it: 1 to 32 letters, digits, '.', '_' or '-'.
bool parseFixture(const QString& text, HistoryFilter* filter, QString* error);
// A run's id: 12 hex digits, any case (uploader-cli's and the station's runs); stored lower-case.
bool parseRunId(const QString& text, HistoryFilter* filter, QString* error);
// A filter whose since is after its until: nothing can match.
bool checkRange(const HistoryFilter& filter, QString* error);

// The outcomes a row can have: the engine's, "interrupted", "running" and "abandoned".
QStringList outcomeNames();

} // namespace HistoryFilterText
