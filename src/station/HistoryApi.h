#pragma once

#include "history/AuditFilter.h"
#include "history/HistoryFilter.h"
#include "history/HistoryLocation.h"
#include "station/StationResult.h"

#include <QFuture>
#include <QHash>
#include <QJsonObject>
#include <QObject>

#include <functional>
#include <optional>

// The update history as the station's API gives it: the updates, filtered, latest first
// ({"updates": [...]}), one update with its log, and the audit ({"entries": [...]}). The reads run
// on the history's own threads and the reply comes when they are done, so a slow database server
// never holds up the event loop and the units' updates. A history that cannot be read replies
// history-unavailable; more than MaxPendingReads reads at once reply history-busy rather than
// queue without end.
class HistoryApi : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultLimit = 50;
    static constexpr int DefaultAuditLimit = 100;
    static constexpr int MaxLimit = 1000;
    static constexpr int MaxPendingReads = 32;

    explicit HistoryApi(HistoryLocation location, QObject* parent = nullptr);

    // query: the filters (parseFilter).
    void list(const QHash<QString, QString>& query, StationReply<QJsonObject> reply);
    void byId(const QString& id, StationReply<QJsonObject> reply);
    // GET /api/v1/audit: query as parseAuditFilter takes it.
    void audit(const QHash<QString, QString>& query, StationReply<QJsonObject> reply);
    int pendingReads() const { return m_pending; }

    // The filter a query asks for: unit (HOST[:PORT]), since, until, outcome, sha256 (a prefix),
    // serial, lot, fixture, run (exact), limit. An unknown name or a bad value is a bad-filter error.
    static StationResult<HistoryFilter> parseFilter(const QHash<QString, QString>& query);
    // since, until, token (exact), limit (1 to MaxLimit, default DefaultAuditLimit); anything else,
    // or a bad value, is a bad-filter error.
    static StationResult<AuditFilter> parseAuditFilter(const QHash<QString, QString>& query);
    // A positive whole number, digits only.
    static bool parseId(const QString& text, qint64* id);

private:
    template <typename Result>
    void replyWhenRead(const std::function<QFuture<Result>()>& read,
                       const std::function<StationResult<QJsonObject>(const Result&)>& answer,
                       StationReply<QJsonObject> reply);
    static StationError unavailable(const QString& message);
    static std::optional<StationError> parseBounds(const QHash<QString, QString>& query, QDateTime* since,
                                                   QDateTime* until);
    static std::optional<StationError> parseLimit(const QHash<QString, QString>& query, int* limit);

    HistoryLocation m_location;
    int m_pending = 0;
};
