#pragma once

#include "engine/FirmwareSignatureCheck.h"
#include "station/HttpMessages.h"
#include "station/StationResult.h"

class FirmwareStore;
class HttpExchange;
class RunRegistry;
class StationFixtures;
struct StoredFirmware;

// /api/v1/firmware: the stored firmware files, newest first, and the upload of another
// (?name=FILE.hex, the file as the body); /api/v1/firmware/{sha256}: one of them, and its removal
// while no running run uses it.
class FirmwareResource
{
public:
    FirmwareResource(FirmwareStore& store, const RunRegistry& runs, const StationFixtures& fixtures,
                     qint64 maxFirmwareSize, SignatureTrust trust);

    StationResult<HttpResponse> list() const;
    // Answered once the file has passed the firmware check and is stored (FirmwareUpload).
    void upload(HttpExchange& exchange);
    StationResult<HttpResponse> get(const QString& sha256) const;
    StationResult<HttpResponse> remove(const QString& sha256);
    // PUT .../{sha256}/signature: answered once the signature is verified (SignatureUpload).
    void putSignature(HttpExchange& exchange, const QString& sha256);

private:
    // bad-sha256 or not-found.
    StationResult<const StoredFirmware*> stored(const QString& sha256) const;

    FirmwareStore& m_store;
    const RunRegistry& m_runs;
    const StationFixtures& m_fixtures;
    qint64 m_maxFirmwareSize;
    SignatureTrust m_trust;
};
