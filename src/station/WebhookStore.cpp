#include "station/WebhookStore.h"

#include <QSqlError>
#include <QSqlQuery>

namespace {

qint64 msOf(const QDateTime& time)
{
    return time.isValid() ? time.toMSecsSinceEpoch() : 0;
}

QDateTime timeOf(qint64 ms)
{
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC) : QDateTime();
}

} // namespace

WebhookStore::WebhookStore(QString path) : m_path(std::move(path))
{
    static QAtomicInteger<quint64> counter;
    m_name = QStringLiteral("uploader-webhooks-%1").arg(++counter);
}

WebhookStore::~WebhookStore()
{
    close();
}

bool WebhookStore::openFile(const QString& file, QString* error)
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    m_db.setDatabaseName(file);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!m_db.open()) {
        *error = m_db.lastError().text();
        return false;
    }
    QSqlQuery query(m_db);
    // AUTOINCREMENT: ids never come back after a delete, so they keep the order of the deliveries.
    // FULL: a delivery stored is on disk, and so is its removal, even when the power goes.
    for (const QString& sql :
         {QStringLiteral("PRAGMA journal_mode = WAL"), QStringLiteral("PRAGMA synchronous = FULL"),
          QStringLiteral("CREATE TABLE IF NOT EXISTS deliveries (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                         "receiver TEXT NOT NULL, delivery TEXT NOT NULL, body BLOB NOT NULL, "
                         "created INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, "
                         "next_attempt INTEGER NOT NULL DEFAULT 0, last_error TEXT)"),
          QStringLiteral("CREATE INDEX IF NOT EXISTS deliveries_receiver ON deliveries (receiver, id)")}) {
        if (!query.exec(sql)) {
            *error = query.lastError().text();
            return false;
        }
    }
    return true;
}

QHash<QString, qint64> WebhookStore::open()
{
    QString error;
    if (!openFile(m_path, &error)) {
        emit trouble(
            QStringLiteral("cannot keep webhook deliveries in %1 (%2); they are kept in memory until "
                           "delivered, and lost if the station stops first")
                .arg(m_path, error));
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
        if (!openFile(QStringLiteral(":memory:"), &error)) {
            emit trouble(QStringLiteral("cannot keep webhook deliveries: %1").arg(error));
            return {};
        }
    }
    QHash<QString, qint64> waiting;
    QSqlQuery query(m_db);
    if (query.exec(QStringLiteral("SELECT receiver, count(*) FROM deliveries GROUP BY receiver")))
        while (query.next())
            waiting.insert(query.value(0).toString(), query.value(1).toLongLong());
    return waiting;
}

void WebhookStore::close()
{
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

bool WebhookStore::exec(const QString& sql, const QVariantList& values, const char* what)
{
    QSqlQuery query(m_db);
    if (!query.prepare(sql)) {
        report(what, query.lastError().text());
        return false;
    }
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        report(what, query.lastError().text());
        return false;
    }
    return true;
}

void WebhookStore::report(const char* what, const QString& message)
{
    // Once for each kind of trouble: a full disk would say it for every update.
    if (m_reported.contains(what))
        return;
    m_reported.insert(what);
    emit trouble(QStringLiteral("webhook deliveries: cannot %1 in %2: %3")
                     .arg(QString::fromLatin1(what), m_path, message));
}

void WebhookStore::add(const WebhookDelivery& delivery)
{
    if (m_db.isOpen() &&
        exec(QStringLiteral("INSERT INTO deliveries (receiver, delivery, body, created) VALUES (?, ?, ?, ?)"),
             {delivery.receiver, delivery.deliveryId, delivery.body, msOf(delivery.created)},
             "store a delivery (it is lost)"))
        emit added(delivery.receiver);
}

void WebhookStore::remove(qint64 id)
{
    if (m_db.isOpen())
        exec(QStringLiteral("DELETE FROM deliveries WHERE id = ?"), {id}, "remove a delivery");
}

void WebhookStore::failed(qint64 id, int attempts, const QDateTime& nextAttempt, const QString& error)
{
    if (m_db.isOpen())
        exec(QStringLiteral(
                 "UPDATE deliveries SET attempts = ?, next_attempt = ?, last_error = ? WHERE id = ?"),
             {attempts, msOf(nextAttempt), error, id}, "note a failed delivery");
}

void WebhookStore::load(const QString& receiver, qint64 afterId, int limit)
{
    QList<WebhookDelivery> deliveries;
    QSqlQuery query(m_db);
    if (m_db.isOpen() &&
        query.prepare(QStringLiteral("SELECT id, delivery, body, created, attempts, next_attempt, last_error "
                                     "FROM deliveries WHERE receiver = ? AND id > ? ORDER BY id LIMIT ?"))) {
        query.addBindValue(receiver);
        query.addBindValue(afterId);
        query.addBindValue(limit);
        if (query.exec()) {
            while (query.next()) {
                WebhookDelivery delivery;
                delivery.id = query.value(0).toLongLong();
                delivery.receiver = receiver;
                delivery.deliveryId = query.value(1).toString();
                delivery.body = query.value(2).toByteArray();
                delivery.created = timeOf(query.value(3).toLongLong());
                delivery.attempts = query.value(4).toInt();
                delivery.nextAttempt = timeOf(query.value(5).toLongLong());
                delivery.lastError = query.value(6).toString();
                deliveries.append(delivery);
            }
        } else {
            report("read the deliveries", query.lastError().text());
        }
    }
    emit loaded(receiver, deliveries, limit);
}
