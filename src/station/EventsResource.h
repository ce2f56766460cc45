#pragma once

class EventHub;
class HttpExchange;

// /api/v1/events: the exchange becomes one of the EventHub's streams, with every run's events or,
// given ?run=ID, that run's alone.
class EventsResource
{
public:
    explicit EventsResource(EventHub& hub) : m_hub(hub) {}

    void subscribe(HttpExchange& exchange);

private:
    EventHub& m_hub;
};
