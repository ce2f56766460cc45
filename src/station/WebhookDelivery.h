#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

// One body for one receiver, as the webhook store keeps it until the receiver has it.
struct WebhookDelivery
{
    qint64 id = 0;      // the store's: the order of a receiver's deliveries
    QString receiver;   // the URL as given on the command line
    QString deliveryId; // X-Uploader-Delivery, the same on every attempt
    QByteArray body;
    QDateTime created;
    int attempts = 0;
    QDateTime nextAttempt; // invalid: at once
    QString lastError;
};

Q_DECLARE_METATYPE(WebhookDelivery)
