#pragma once

#include <QDateTime>
#include <QString>

// What a history query selects. Empty members select everything; rows come latest first.
struct HistoryFilter
{
    QString unitHost; // IPv6 without brackets
    int unitPort = 0; // 0: any port of that host
    QDateTime since;  // started at or after (UTC)
    QDateTime until;  // started at or before (UTC), see HistoryTime::parseBound
    QString outcome;
    QString sha256Prefix; // hex, any case
    // Exact matches: a unit's serial number, a lot or work order, a fixture's name, a run's id.
    QString serial;
    QString lot;
    QString fixture;
    QString runId;
    QString signer; // exactly this signer
    int limit = 50; // <= 0: no limit
};
