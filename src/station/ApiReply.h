#pragma once

#include "station/HttpMessages.h"
#include "station/StationResult.h"

#include <QJsonObject>
#include <QPointer>

class HttpExchange;

// Where a handler's answer goes: a result as it is, a station error as StationErrorResponse makes
// it. Holds the exchange weakly, so an answer that comes after the client went away goes nowhere;
// copies answer the same exchange.
class ApiReply
{
public:
    explicit ApiReply(HttpExchange& exchange);

    void send(const StationResult<HttpResponse>& result) const;
    // The object with 200.
    void sendJson(const StationResult<QJsonObject>& result) const;
    // For parts that reply later with a JSON object (the history's reads).
    StationReply<QJsonObject> json() const;

private:
    QPointer<HttpExchange> m_exchange;
};
