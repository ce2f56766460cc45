#pragma once

#include "history/UpdateHistory.h"
#include "station/WebhookReceiver.h"

#include <QHash>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QStringList>

#include <deque>
#include <vector>

class QThread;
class WebhookStore;

// The station's webhooks (--webhook): every finished update posted as JSON to each receiver, signed
// when there is a secret. A delivery is stored (STATE_DIR/webhooks.sqlite, on the store's thread)
// before it is attempted and removed once delivered; the receivers are independent of each other.
// Nothing here waits: an update never waits for a receiver, nor for the disk.
class Webhooks : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        QStringList urls;
        QByteArray secret;      // empty: no signature
        QString storeFile;      // the deliveries not yet delivered
        double timeScale = 1.0; // real time = program time x this (test builds)
    };

    explicit Webhooks(Settings settings, QObject* parent = nullptr);
    // The deliveries handed to the store are written before it returns.
    ~Webhooks() override;

    // Opens the store (waits for it) and sends what waited there; nothing without receivers.
    void start();
    bool enabled() const { return !m_receivers.empty(); }

    // One delivery of this object to every receiver, with the history's id of the row in
    // "history_id" (null: no history, or no id yet). Stored once the event loop turns: the id of a
    // row written as its update finished is on its way to this thread then.
    void post(const QJsonObject& object, HistoryHandle row);

    // The ids the history gives its rows, for history_id.
    void watchHistory(UpdateHistory& history);

    // Per receiver in the order given: url, waiting, last_error, last_delivered.
    QJsonArray status() const;
    // How many deliveries wait, per receiver.
    QList<qint64> waiting() const;

    // A secret file's content without its trailing newline; false with the reason when it cannot
    // be read or is empty.
    static bool readSecret(const QString& path, QByteArray* secret, QString* error);

signals:
    void warning(const QString& message);

private:
    WebhookReceiver* receiver(const QString& url) const;
    void store(const QJsonObject& object);
    void remember(HistoryHandle handle, qint64 id);

    Settings m_settings;
    QNetworkAccessManager m_network;
    std::vector<WebhookReceiver*> m_receivers;
    QThread* m_thread = nullptr;
    WebhookStore* m_store = nullptr;
    QHash<HistoryHandle, qint64> m_ids;
    std::deque<HistoryHandle> m_idOrder; // the oldest forgotten first
};
