#pragma once

#include "station/WebhookDelivery.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <deque>

class QNetworkAccessManager;
class QNetworkReply;

// One --webhook URL: its deliveries one at a time, in the order they were stored, each until the
// receiver answers 2xx (the next waits for it) or it is older than giveUp. A delivery fails on any
// other status, a network error or no answer within answerTimeout; it is tried again after
// firstRetry, doubling up to maxRetry. Only the next few deliveries are in memory: the rest wait
// in the store and are loaded as room comes. One warning when the receiver starts failing, one
// when it answers again, one for each delivery given up.
class WebhookReceiver : public QObject
{
    Q_OBJECT
public:
    static constexpr int Loaded = 8; // deliveries in memory at most
    static constexpr int AnswerTimeoutSeconds = 10;

    struct Timing // real milliseconds
    {
        qint64 answerTimeout = AnswerTimeoutSeconds * 1000;
        qint64 firstRetry = 1'000;
        qint64 maxRetry = 5 * 60'000;
        qint64 giveUp = 24 * 3600'000;
    };

    WebhookReceiver(QString url, QByteArray secret, Timing timing, QNetworkAccessManager& network,
                    QObject* parent = nullptr);

    const QString& url() const { return m_url; }
    // The URL as shown: without a password.
    QString shownUrl() const;
    qint64 waiting() const { return m_waiting; }
    // url, waiting, last_error, last_delivered.
    QJsonObject status() const;

    // The store holds `count` more deliveries for this receiver (found at start, or just stored).
    void stored(qint64 count);
    // The store's answer to loadWanted.
    void take(const QList<WebhookDelivery>& deliveries, int limit);

    // The signature header's value for a body: "sha256=" and the HMAC-SHA256 in lower-case hex.
    static QByteArray signature(const QByteArray& body, const QByteArray& secret);

signals:
    void loadWanted(qint64 afterId, int limit);
    void removeWanted(qint64 id);
    void failureNoted(qint64 id, int attempts, const QDateTime& nextAttempt, const QString& error);
    void warning(const QString& message);

private:
    void loadIfRoom();
    void sendNext();
    void onAnswered();
    void delivered();
    void failed(const QString& error);

    QString m_url;
    QByteArray m_secret;
    Timing m_timing;
    QNetworkAccessManager& m_network;
    std::deque<WebhookDelivery> m_queue; // loaded, oldest first; the first is the one under way
    qint64 m_lastLoaded = 0;
    bool m_loading = false;
    bool m_moreStored = false;
    qint64 m_waiting = 0;
    QNetworkReply* m_reply = nullptr;
    bool m_timedOut = false;
    QTimer m_answerTimer;
    QTimer m_retryTimer;
    bool m_failing = false;
    QString m_lastError;
    QDateTime m_lastDelivered;
};
