#include "station/ApiReply.h"

#include "station/HttpExchange.h"
#include "station/StationErrorResponse.h"

ApiReply::ApiReply(HttpExchange& exchange) : m_exchange(&exchange) {}

void ApiReply::send(const StationResult<HttpResponse>& result) const
{
    if (m_exchange)
        m_exchange->respond(result ? *result : StationErrorResponse::of(result.error()));
}

void ApiReply::sendJson(const StationResult<QJsonObject>& result) const
{
    if (m_exchange)
        m_exchange->respond(result ? HttpResponse::json(200, *result)
                                   : StationErrorResponse::of(result.error()));
}

StationReply<QJsonObject> ApiReply::json() const
{
    return [reply = *this](const StationResult<QJsonObject>& result) { reply.sendJson(result); };
}
