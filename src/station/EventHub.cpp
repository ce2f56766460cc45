#include "station/EventHub.h"

#include "station/HttpExchange.h"

#include <QJsonDocument>

EventHub::EventHub(QObject* parent) : QObject(parent)
{
    m_keepAlive.setInterval(KeepAliveMs);
    connect(&m_keepAlive, &QTimer::timeout, this, &EventHub::keepAlive);
    m_keepAlive.start();
}

void EventHub::subscribe(HttpExchange& exchange, const QString& runFilter)
{
    exchange.startEventStream(MaxQueuedBytes);
    // The first bytes make the response's headers go out at once.
    exchange.push(QByteArrayLiteral(": connected\n\n"));
    prune();
    m_clients.append({&exchange, runFilter});
}

void EventHub::publish(const QJsonObject& event)
{
    if (m_clients.isEmpty())
        return;
    const QByteArray data = "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
    const QString run = event.value(QStringLiteral("run")).toString();
    bool gone = false;
    for (const Client& client : std::as_const(m_clients)) {
        if (!client.exchange) {
            gone = true;
            continue;
        }
        if (!client.run.isEmpty() && client.run != run)
            continue;
        if (!client.exchange->push(data))
            gone = true;
    }
    if (gone)
        prune();
}

void EventHub::keepAlive()
{
    for (const Client& client : std::as_const(m_clients))
        if (client.exchange)
            client.exchange->push(QByteArrayLiteral(": keep-alive\n\n"));
    prune();
}

void EventHub::prune()
{
    m_clients.removeIf([](const Client& client) { return client.exchange.isNull(); });
}

void EventHub::closeAll()
{
    for (const Client& client : std::as_const(m_clients))
        if (client.exchange)
            client.exchange->endStream();
}
