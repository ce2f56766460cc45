#pragma once

#include <QDateTime>
#include <QString>

// What a read of the audit selects. Empty members select everything; entries come latest first.
struct AuditFilter
{
    QDateTime since; // at or after (UTC)
    QDateTime until; // at or before (UTC), see HistoryTime::parseBound
    QString token;   // exactly this token's name
    int limit = 100; // <= 0: no limit
};
