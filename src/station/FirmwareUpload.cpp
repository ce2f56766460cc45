#include "station/FirmwareUpload.h"

#include "engine/FirmwareCheckTask.h"
#include "station/HttpExchange.h"

#include <QDateTime>

#include <unistd.h>

namespace {

StationError internal(const QString& message)
{
    return StationError(StationError::Code::Internal, message);
}

} // namespace

void FirmwareUpload::start(HttpExchange& exchange, FirmwareStore& store, const QString& name, qint64 maxSize)
{
    auto* upload = new FirmwareUpload(exchange, store, name);
    if (!upload->m_file.open()) {
        upload->m_reply.send(
            internal(QStringLiteral("Cannot store the upload: %1").arg(upload->m_file.errorString())));
        return;
    }
    exchange.receiveBody(
        maxSize, [upload](const char* data, qsizetype size) { upload->write(data, size); },
        [upload] { upload->bodyComplete(); });
}

FirmwareUpload::FirmwareUpload(HttpExchange& exchange, FirmwareStore& store, QString name)
    : QObject(&exchange), m_reply(exchange), m_store(store), m_name(std::move(name)),
      m_file(store.uploadTemplate())
{
}

void FirmwareUpload::write(const char* data, qsizetype size)
{
    if (m_failed)
        return;
    m_size += size;
    if (m_file.write(data, size) != size) {
        m_failed = true;
        m_reply.send(internal(QStringLiteral("Cannot store the upload: %1").arg(m_file.errorString())));
    }
}

void FirmwareUpload::bodyComplete()
{
    if (!m_file.flush() || ::fsync(m_file.handle()) != 0) {
        m_reply.send(internal(QStringLiteral("Cannot store the upload: %1").arg(m_file.errorString())));
        return;
    }
    m_check = new FirmwareCheckTask(m_file.fileName(), {}, this);
    connect(m_check, &FirmwareCheckTask::finished, this, &FirmwareUpload::checked);
    m_check->start();
}

void FirmwareUpload::checked(const FirmwareCheckResult& result)
{
    if (!result.ok()) {
        // Gone before the answer: a client that reads the store next finds nothing of it.
        m_file.remove();
        if (result.kind == FirmwareCheckResult::Kind::Unreadable)
            m_reply.send(internal(QStringLiteral("Cannot read the upload back: %1").arg(result.problem)));
        else
            m_reply.send(StationError(StationError::Code::CheckFailed, result.problem));
        return;
    }
    StoredFirmware firmware;
    firmware.sha256 = result.sha256;
    firmware.name = m_name;
    firmware.size = m_size;
    firmware.records = result.summary.records;
    firmware.toSend = result.summary.recordsToSend;
    firmware.uploaded = QDateTime::currentDateTimeUtc();
    m_file.close();
    m_file.setAutoRemove(false);
    bool existed = false;
    QString error;
    if (!m_store.add(m_file.fileName(), firmware, &existed, &error)) {
        m_reply.send(internal(error));
        return;
    }
    const StoredFirmware* stored = m_store.find(firmware.sha256);
    m_reply.send(HttpResponse::json(existed ? 200 : 201, stored->toJson(false)));
}
