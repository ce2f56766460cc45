#pragma once

#include "station/WebhookDelivery.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QSqlDatabase>

// The webhook deliveries not yet delivered, in an SQLite file of the station's state (WAL): each
// is stored before it is first attempted and removed once delivered, so a station that stops or
// dies sends them when it starts again. Lives on a thread of its own (every call there, queued);
// answers come as signals. A file that cannot be used is reported, and the deliveries are kept in
// memory instead.
class WebhookStore : public QObject
{
    Q_OBJECT
public:
    explicit WebhookStore(QString path);
    ~WebhookStore() override;

    // How many deliveries wait for each receiver URL.
    QHash<QString, qint64> open();
    void add(const WebhookDelivery& delivery);
    void remove(qint64 id);
    void failed(qint64 id, int attempts, const QDateTime& nextAttempt, const QString& error);
    // The receiver's deliveries after afterId, oldest first, at most limit of them.
    void load(const QString& receiver, qint64 afterId, int limit);
    void close();

signals:
    // A delivery is stored (one that cannot be is reported through trouble(), and lost).
    void added(const QString& receiver);
    void loaded(const QString& receiver, const QList<WebhookDelivery>& deliveries, int limit);
    void trouble(const QString& message);

private:
    bool openFile(const QString& file, QString* error);
    bool exec(const QString& sql, const QVariantList& values, const char* what);
    void report(const char* what, const QString& message);

    QString m_path;
    QString m_name;
    QSqlDatabase m_db;
    QSet<QByteArray> m_reported;
};
