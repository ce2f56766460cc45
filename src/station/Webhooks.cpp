#include "station/Webhooks.h"

#include "station/WebhookStore.h"

#include <QFile>
#include <QJsonDocument>
#include <QThread>
#include <QUrl>
#include <QUuid>

#include <algorithm>

namespace {

// Row ids kept for history_id: far more than the updates that can be under way at once.
constexpr size_t KeptIds = 4096;

qint64 scaled(qint64 ms, double scale)
{
    return std::max<qint64>(1, qint64(double(ms) * scale));
}

} // namespace

Webhooks::Webhooks(Settings settings, QObject* parent) : QObject(parent), m_settings(std::move(settings))
{
    const WebhookReceiver::Timing program;
    WebhookReceiver::Timing timing;
    timing.answerTimeout = scaled(program.answerTimeout, m_settings.timeScale);
    timing.firstRetry = scaled(program.firstRetry, m_settings.timeScale);
    timing.maxRetry = scaled(program.maxRetry, m_settings.timeScale);
    timing.giveUp = scaled(program.giveUp, m_settings.timeScale);
    for (const QString& url : std::as_const(m_settings.urls)) {
        if (receiver(url))
            continue; // the same URL twice is one receiver
        auto* receiver = new WebhookReceiver(url, m_settings.secret, timing, m_network, this);
        connect(receiver, &WebhookReceiver::warning, this, &Webhooks::warning);
        m_receivers.push_back(receiver);
    }
}

Webhooks::~Webhooks()
{
    if (!m_thread)
        return;
    // After every write queued before it.
    QMetaObject::invokeMethod(m_store, &WebhookStore::close, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_store;
    delete m_thread;
}

WebhookReceiver* Webhooks::receiver(const QString& url) const
{
    for (WebhookReceiver* receiver : m_receivers)
        if (receiver->url() == url)
            return receiver;
    return nullptr;
}

void Webhooks::start()
{
    if (m_receivers.empty() || m_thread)
        return;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("webhook store"));
    m_store = new WebhookStore(m_settings.storeFile);
    m_store->moveToThread(m_thread);
    connect(m_store, &WebhookStore::trouble, this, &Webhooks::warning);
    connect(m_store, &WebhookStore::added, this, [this](const QString& url) {
        if (WebhookReceiver* to = receiver(url))
            to->stored(1);
    });
    connect(m_store, &WebhookStore::loaded, this,
            [this](const QString& url, const QList<WebhookDelivery>& deliveries, int limit) {
                if (WebhookReceiver* to = receiver(url))
                    to->take(deliveries, limit);
            });
    WebhookStore* store = m_store;
    for (WebhookReceiver* receiver : m_receivers) {
        const QString url = receiver->url();
        connect(receiver, &WebhookReceiver::loadWanted, store,
                [store, url](qint64 afterId, int limit) { store->load(url, afterId, limit); });
        connect(receiver, &WebhookReceiver::removeWanted, store, &WebhookStore::remove);
        connect(receiver, &WebhookReceiver::failureNoted, store, &WebhookStore::failed);
    }
    m_thread->start();
    // Before the station listens: its status counts what waited from the first answer on.
    QHash<QString, qint64> waiting;
    QMetaObject::invokeMethod(m_store, &WebhookStore::open, Qt::BlockingQueuedConnection, &waiting);
    for (WebhookReceiver* receiver : m_receivers)
        receiver->stored(waiting.take(receiver->url()));
    // A receiver dropped from the command line: its deliveries wait for it to be given again.
    for (auto it = waiting.cbegin(); it != waiting.cend(); ++it)
        emit warning(QStringLiteral("%1 in %2 for %3, which is no receiver now; kept until it is given with "
                                    "--webhook again")
                         .arg(it.value() == 1 ? QStringLiteral("1 webhook delivery waits")
                                              : QStringLiteral("%1 webhook deliveries wait").arg(it.value()),
                              m_settings.storeFile, QUrl(it.key()).toString(QUrl::RemovePassword)));
}

void Webhooks::post(const QJsonObject& object, HistoryHandle row)
{
    if (!m_store)
        return;
    QMetaObject::invokeMethod(
        this,
        [this, update = QJsonObject(object), row]() mutable {
            const auto it = m_ids.constFind(row);
            update[QStringLiteral("history_id")] =
                row != 0 && it != m_ids.cend() ? QJsonValue(*it) : QJsonValue();
            store(update);
        },
        Qt::QueuedConnection);
}

void Webhooks::store(const QJsonObject& object)
{
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    WebhookStore* store = m_store;
    for (WebhookReceiver* receiver : m_receivers) {
        WebhookDelivery delivery;
        delivery.receiver = receiver->url();
        delivery.deliveryId = QUuid::createUuid().toString(QUuid::WithoutBraces);
        delivery.body = body;
        delivery.created = now;
        QMetaObject::invokeMethod(
            store, [store, delivery] { store->add(delivery); }, Qt::QueuedConnection);
    }
}

void Webhooks::watchHistory(UpdateHistory& history)
{
    if (enabled())
        connect(&history, &UpdateHistory::recorded, this, &Webhooks::remember);
}

void Webhooks::remember(HistoryHandle handle, qint64 id)
{
    if (!m_ids.contains(handle))
        m_idOrder.push_back(handle);
    m_ids.insert(handle, id);
    while (m_idOrder.size() > KeptIds) {
        m_ids.remove(m_idOrder.front());
        m_idOrder.pop_front();
    }
}

QJsonArray Webhooks::status() const
{
    QJsonArray receivers;
    for (const WebhookReceiver* receiver : m_receivers)
        receivers.append(receiver->status());
    return receivers;
}

QList<qint64> Webhooks::waiting() const
{
    QList<qint64> counts;
    for (const WebhookReceiver* receiver : m_receivers)
        counts.append(receiver->waiting());
    return counts;
}

bool Webhooks::readSecret(const QString& path, QByteArray* secret, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the webhook secret file %1: %2").arg(path, file.errorString());
        return false;
    }
    QByteArray content = file.read(64 * 1024);
    if (content.endsWith('\n'))
        content.chop(1);
    if (content.endsWith('\r'))
        content.chop(1);
    if (content.isEmpty()) {
        *error = QStringLiteral("the webhook secret file %1 is empty").arg(path);
        return false;
    }
    *secret = content;
    return true;
}
