#pragma once

#include "station/FirmwareStore.h"

#include <QCryptographicHash>
#include <QObject>
#include <QPointer>
#include <QTemporaryFile>
#include <QTimer>

#include <memory>

class FirmwareCheck;
class HttpExchange;

// One POST of a firmware file: the body streams into a temporary file in the store's folder while
// its SHA-256 is computed; then the engine's firmware check reads it in slices on the event loop,
// and a file that passes is stored. Answers the exchange (201, 200, 422 or 500) and is deleted
// with it; a client that goes away leaves nothing behind.
class FirmwareUpload : public QObject
{
    Q_OBJECT
public:
    // A child of the exchange. Takes the body (up to maxSize) at once.
    static void start(HttpExchange& exchange, FirmwareStore& store, const QString& name, qint64 maxSize);

private:
    FirmwareUpload(HttpExchange& exchange, FirmwareStore& store, QString name);

    void write(const char* data, qsizetype size);
    void bodyComplete();
    void checkSlice();
    void finish();

    HttpExchange& m_exchange;
    FirmwareStore& m_store;
    QString m_name;
    QTemporaryFile m_file;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    qint64 m_size = 0;
    bool m_failed = false;
    std::unique_ptr<FirmwareCheck> m_check;
    QTimer m_slices;
};
