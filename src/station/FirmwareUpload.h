#pragma once

#include "station/FirmwareStore.h"

#include <QObject>
#include <QPointer>
#include <QTemporaryFile>

class FirmwareCheckTask;
struct FirmwareCheckResult;
class HttpExchange;

// One POST of a firmware file: the body streams into a temporary file in the store's folder while
// it is counted; then the engine's firmware check reads it in slices on the event loop (and
// computes its SHA-256 in the same pass),
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
    void checked(const FirmwareCheckResult& result);

    HttpExchange& m_exchange;
    FirmwareStore& m_store;
    QString m_name;
    QTemporaryFile m_file;
    qint64 m_size = 0;
    bool m_failed = false;
    FirmwareCheckTask* m_check = nullptr;
};
