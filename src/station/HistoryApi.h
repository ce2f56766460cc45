#pragma once

#include "history/HistoryFilter.h"
#include "history/HistoryLocation.h"
#include "station/HttpMessages.h"

#include <QFuture>
#include <QHash>
#include <QObject>

#include <functional>

class HttpExchange;

// GET /api/v1/updates (the history, filtered, latest first) and /api/v1/updates/{id} (one update
// with its log). The reads run on the history's own threads and the answer goes out when they
// are done, so a slow database server never holds up the event loop and the units' updates. A
// history that cannot be read answers 503 history-unavailable; more than MaxPendingReads reads
// at once answer 503 history-busy rather than queue without end.
class HistoryApi : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultLimit = 50;
    static constexpr int MaxLimit = 1000;
    static constexpr int MaxPendingReads = 32;

    explicit HistoryApi(HistoryLocation location, QObject* parent = nullptr);

    void list(HttpExchange& exchange);
    void byId(HttpExchange& exchange, const QString& id);
    int pendingReads() const { return m_pending; }

    // The filter a query asks for: unit (HOST[:PORT]), since, until, outcome, sha256 (a prefix),
    // limit. False with the 400 answer to send for an unknown name or a bad value.
    static bool parseFilter(const QHash<QString, QString>& query, HistoryFilter* filter, HttpResponse* error);
    // A positive whole number, digits only.
    static bool parseId(const QString& text, qint64* id);

private:
    template <typename Result>
    void answerWhenRead(HttpExchange& exchange, const std::function<QFuture<Result>()>& read,
                        const std::function<HttpResponse(const Result&)>& answer);
    static HttpResponse unavailable(const QString& message);

    HistoryLocation m_location;
    int m_pending = 0;
};
