#include "station/FirmwareResource.h"

#include "station/ApiReply.h"
#include "station/FirmwareStore.h"
#include "station/FirmwareUpload.h"
#include "station/HttpExchange.h"
#include "station/RunRegistry.h"
#include "station/SignatureUpload.h"
#include "station/StationApi.h"
#include "station/StationFixtures.h"

#include <QJsonArray>

FirmwareResource::FirmwareResource(FirmwareStore& store, const RunRegistry& runs,
                                   const StationFixtures& fixtures, qint64 maxFirmwareSize,
                                   SignatureTrust trust)
    : m_store(store), m_runs(runs), m_fixtures(fixtures), m_maxFirmwareSize(maxFirmwareSize),
      m_trust(std::move(trust))
{
}

StationResult<HttpResponse> FirmwareResource::list() const
{
    QJsonArray list;
    const QList<StoredFirmware> all = m_store.list();
    for (const StoredFirmware& firmware : all)
        list.append(firmware.toJson(true));
    return HttpResponse::json(200, {{QStringLiteral("firmware"), list}});
}

void FirmwareResource::upload(HttpExchange& exchange)
{
    const HttpRequest& request = exchange.request();
    const QString name = request.query.value(QStringLiteral("name"));
    if (!StationApi::isFirmwareName(name)) {
        ApiReply(exchange).send(StationError(
            StationError::Code::BadName,
            QStringLiteral(
                "?name= must be a file name ending in .hex, without a path or control characters.")));
        return;
    }
    if (request.contentLength > m_maxFirmwareSize) {
        ApiReply(exchange).send(
            StationError(StationError::Code::TooLarge,
                         QStringLiteral("The file is %1 bytes; the station takes at most %2.")
                             .arg(request.contentLength)
                             .arg(m_maxFirmwareSize)));
        return;
    }
    FirmwareUpload::start(exchange, m_store, name, m_maxFirmwareSize);
}

StationResult<const StoredFirmware*> FirmwareResource::stored(const QString& sha256) const
{
    if (!FirmwareStore::isSha256(sha256))
        return StationError(StationError::Code::BadSha256,
                            QStringLiteral("A firmware id is its SHA-256: 64 hex digits."));
    const StoredFirmware* firmware = m_store.find(sha256);
    if (!firmware)
        return StationError(StationError::Code::NotFound,
                            QStringLiteral("No stored firmware has that SHA-256."));
    return firmware;
}

StationResult<HttpResponse> FirmwareResource::get(const QString& sha256) const
{
    const StationResult<const StoredFirmware*> firmware = stored(sha256);
    if (!firmware)
        return firmware.error();
    return HttpResponse::json(200, (*firmware)->toJson(true));
}

StationResult<HttpResponse> FirmwareResource::remove(const QString& sha256)
{
    const StationResult<const StoredFirmware*> firmware = stored(sha256);
    if (!firmware)
        return firmware.error();
    if (m_runs.firmwareInUse(sha256))
        return StationError(StationError::Code::FirmwareInUse,
                            QStringLiteral("A running run uses this firmware."));
    if (m_fixtures.firmwareInUse(sha256))
        return StationError(StationError::Code::FirmwareInUse,
                            QStringLiteral("A watched fixture uses this firmware; stop watching it first."));
    QString error;
    if (!m_store.remove(sha256, &error))
        return StationError(StationError::Code::Internal, error);
    return HttpResponse::noContent();
}

void FirmwareResource::putSignature(HttpExchange& exchange, const QString& sha256)
{
    const StationResult<const StoredFirmware*> firmware = stored(sha256);
    if (!firmware) {
        ApiReply(exchange).send(firmware.error());
        return;
    }
    if (!m_trust.isSet()) {
        ApiReply(exchange).send(StationError(
            StationError::Code::BadSignature,
            QStringLiteral("This station trusts no release keys; start it with --allowed-signers FILE.")));
        return;
    }
    SignatureUpload::start(exchange, m_store, (*firmware)->sha256, m_trust);
}
