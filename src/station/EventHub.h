#pragma once

#include "station/UpdateRecorder.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class HttpExchange;

// The one place every run's events pass through: each update's start, log lines and end go to
// the attached recorders, and every event goes to the event-stream clients as one Server-Sent
// Event (`data: JSON`). A client that falls more than MaxQueuedBytes behind is dropped.
class EventHub : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype MaxQueuedBytes = 1024 * 1024;
    static constexpr int KeepAliveMs = 15000;

    explicit EventHub(QObject* parent = nullptr);

    void addRecorder(UpdateRecorder* recorder) { m_recorders.append(recorder); }

    // The exchange becomes an event stream; runFilter: only that run's events (empty: all).
    void subscribe(HttpExchange& exchange, const QString& runFilter);
    int clients() const { return int(m_clients.size()); }

    void publish(const QJsonObject& event);

    void updateStarted(const UpdateIdentity& update);
    void updateLog(const UpdateIdentity& update, const QString& text, bool debugOnly);
    void updateProgress(const UpdateIdentity& update, qint64 recordsSent);
    void updateFinished(const UpdateIdentity& update, const UpdateResult& result, bool interrupted);

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

    QList<UpdateRecorder*> m_recorders;
    QList<Client> m_clients;
    QTimer m_keepAlive;
};
