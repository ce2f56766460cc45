#include "station/EventsResource.h"

#include "station/EventHub.h"
#include "station/HttpExchange.h"

void EventsResource::subscribe(HttpExchange& exchange)
{
    m_hub.subscribe(exchange, exchange.request().query.value(QStringLiteral("run")));
}
