#include "station/WebhookReceiver.h"

#include <QCoreApplication>
#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>

#include <algorithm>

WebhookReceiver::WebhookReceiver(QString url, QByteArray secret, Timing timing,
                                 QNetworkAccessManager& network, QObject* parent)
    : QObject(parent), m_url(std::move(url)), m_secret(std::move(secret)), m_timing(timing),
      m_network(network)
{
    m_answerTimer.setSingleShot(true);
    connect(&m_answerTimer, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        m_reply->abort(); // finished() comes before abort() returns
    });
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_retryTimer, &QTimer::timeout, this, &WebhookReceiver::sendNext);
}

QString WebhookReceiver::shownUrl() const
{
    return QUrl(m_url).toString(QUrl::RemovePassword);
}

QJsonObject WebhookReceiver::status() const
{
    return {{QStringLiteral("url"), shownUrl()},
            {QStringLiteral("waiting"), m_waiting},
            {QStringLiteral("last_error"), m_lastError.isEmpty() ? QJsonValue() : QJsonValue(m_lastError)},
            {QStringLiteral("last_delivered"), m_lastDelivered.isValid()
                                                   ? QJsonValue(m_lastDelivered.toString(Qt::ISODateWithMs))
                                                   : QJsonValue()}};
}

QByteArray WebhookReceiver::signature(const QByteArray& body, const QByteArray& secret)
{
    return "sha256=" + QMessageAuthenticationCode::hash(body, secret, QCryptographicHash::Sha256).toHex();
}

void WebhookReceiver::stored(qint64 count)
{
    if (count <= 0)
        return;
    m_waiting += count;
    m_moreStored = true;
    loadIfRoom();
}

void WebhookReceiver::loadIfRoom()
{
    if (m_loading || !m_moreStored || m_queue.size() >= size_t(Loaded))
        return;
    m_loading = true;
    m_moreStored = false;
    emit loadWanted(m_lastLoaded, Loaded - int(m_queue.size()));
}

void WebhookReceiver::take(const QList<WebhookDelivery>& deliveries, int limit)
{
    m_loading = false;
    for (const WebhookDelivery& delivery : deliveries) {
        if (delivery.id <= m_lastLoaded)
            continue;
        m_lastLoaded = delivery.id;
        m_queue.push_back(delivery);
    }
    if (deliveries.size() >= limit)
        m_moreStored = true;
    // After a restart: the receiver was failing when the station stopped.
    if (m_lastError.isEmpty() && !m_queue.empty() && !m_queue.front().lastError.isEmpty()) {
        m_lastError = m_queue.front().lastError;
        m_failing = true;
    }
    loadIfRoom();
    sendNext();
}

void WebhookReceiver::sendNext()
{
    if (m_reply || m_retryTimer.isActive() || m_queue.empty())
        return;
    const WebhookDelivery& delivery = m_queue.front();
    const qint64 wait =
        delivery.nextAttempt.isValid() ? QDateTime::currentDateTimeUtc().msecsTo(delivery.nextAttempt) : 0;
    if (wait > 0) {
        m_retryTimer.start(int(std::min(wait, m_timing.maxRetry)));
        return;
    }
    QNetworkRequest request{QUrl(m_url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("uploader-station/%1").arg(QCoreApplication::applicationVersion()));
    request.setRawHeader("X-Uploader-Delivery", delivery.deliveryId.toLatin1());
    if (!m_secret.isEmpty())
        request.setRawHeader("X-Uploader-Signature", signature(delivery.body, m_secret));
    // A redirect is an answer that is no 2xx: a POST is never sent on somewhere else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    m_timedOut = false;
    m_reply = m_network.post(request, delivery.body);
    connect(m_reply, &QNetworkReply::finished, this, &WebhookReceiver::onAnswered);
    m_answerTimer.start(int(m_timing.answerTimeout));
}

void WebhookReceiver::onAnswered()
{
    m_answerTimer.stop();
    QNetworkReply* reply = std::exchange(m_reply, nullptr);
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_timedOut)
        failed(QStringLiteral("no answer in %1 s").arg(AnswerTimeoutSeconds));
    else if (status >= 200 && status <= 299)
        delivered();
    else if (status > 0)
        failed(QStringLiteral("HTTP %1 %2")
                   .arg(status)
                   .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())
                   .trimmed());
    else
        failed(reply->errorString());
}

void WebhookReceiver::delivered()
{
    emit removeWanted(m_queue.front().id);
    m_queue.pop_front();
    --m_waiting;
    m_lastDelivered = QDateTime::currentDateTimeUtc();
    m_lastError.clear();
    if (m_failing) {
        m_failing = false;
        emit warning(QStringLiteral("webhook %1 answers again; %2 waiting").arg(shownUrl()).arg(m_waiting));
    }
    loadIfRoom();
    sendNext();
}

void WebhookReceiver::failed(const QString& error)
{
    WebhookDelivery& delivery = m_queue.front();
    ++delivery.attempts;
    delivery.lastError = error;
    m_lastError = error;
    if (!m_failing) {
        m_failing = true;
        emit warning(QStringLiteral("webhook %1 fails (%2); its deliveries wait and are tried again")
                         .arg(shownUrl(), error));
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (delivery.created.isValid() && delivery.created.msecsTo(now) >= m_timing.giveUp) {
        emit warning(QStringLiteral("webhook %1: delivery %2 given up after %3 attempts over 24 hours (%4)")
                         .arg(shownUrl(), delivery.deliveryId)
                         .arg(delivery.attempts)
                         .arg(error));
        emit removeWanted(delivery.id);
        m_queue.pop_front();
        --m_waiting;
        loadIfRoom();
        sendNext();
        return;
    }
    const int doublings = std::min(delivery.attempts - 1, 30);
    const qint64 delay = std::min(m_timing.firstRetry << doublings, m_timing.maxRetry);
    delivery.nextAttempt = now.addMSecs(delay);
    emit failureNoted(delivery.id, delivery.attempts, delivery.nextAttempt, error);
    m_retryTimer.start(int(delay));
}
