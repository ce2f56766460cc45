#pragma once

#include <QDateTime>
#include <QString>

// The history's times: UTC, ISO 8601 with milliseconds ("2026-12-08T03:05:40.123Z"). Stored as
// that text in both databases, so that text order is time order and one SQL serves both.
namespace HistoryTime {

QString format(const QDateTime& time); // empty for an invalid time
QDateTime parseStored(const QString& text);

enum class Bound
{
    Since,
    Until,
};
// A filter bound typed by a person: "YYYY-MM-DD" or an ISO 8601 date-time. A date alone is a
// whole day in UTC: its first millisecond for Since, its last for Until (so --until 2026-12-08
// includes that day). A date-time without an offset is taken as UTC. Invalid when unreadable.
QDateTime parseBound(const QString& text, Bound bound);

} // namespace HistoryTime
