#pragma once

#include "station/ApiReply.h"
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
// and a file that passes is stored. Answers with the stored file (201, or 200 when the same bytes
// were stored already), check-failed or internal, and is deleted with the exchange; a client that
// goes away leaves nothing behind.
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

    ApiReply m_reply;
    FirmwareStore& m_store;
    QString m_name;
    QTemporaryFile m_file;
    qint64 m_size = 0;
    bool m_failed = false;
    FirmwareCheckTask* m_check = nullptr;
};
