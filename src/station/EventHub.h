#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class HttpExchange;

// The event stream: every event of every run goes to the clients as one Server-Sent Event
// (`data: JSON`). A client that falls more than MaxQueuedBytes behind is dropped.
class EventHub : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype MaxQueuedBytes = 1024 * 1024;
    static constexpr int KeepAliveMs = 15000;

    explicit EventHub(QObject* parent = nullptr);

    // The exchange becomes an event stream; runFilter: only that run's events (empty: all).
    void subscribe(HttpExchange& exchange, const QString& runFilter);
    int clients() const { return int(m_clients.size()); }

    void publish(const QJsonObject& event);

    // Every stream ends (the station stops).
    void closeAll();

private:
    struct Client
    {
        QPointer<HttpExchange> exchange;
        QString run;
    };

    void keepAlive();
    void prune();

    QList<Client> m_clients;
    QTimer m_keepAlive;
};
