#include "station/StationError.h"

QString StationError::nameOf(Code code)
{
    switch (code) {
    case Code::Misdirected:
        return QStringLiteral("misdirected");
    case Code::MethodNotAllowed:
        return QStringLiteral("method-not-allowed");
    case Code::BadPath:
        return QStringLiteral("bad-path");
    case Code::Unauthorized:
        return QStringLiteral("unauthorized");
    case Code::Forbidden:
        return QStringLiteral("forbidden");
    case Code::TooManyTries:
        return QStringLiteral("too-many-tries");
    case Code::NotFound:
        return QStringLiteral("not-found");
    case Code::BadName:
        return QStringLiteral("bad-name");
    case Code::TooLarge:
        return QStringLiteral("too-large");
    case Code::BadSha256:
        return QStringLiteral("bad-sha256");
    case Code::FirmwareInUse:
        return QStringLiteral("firmware-in-use");
    case Code::CheckFailed:
        return QStringLiteral("check-failed");
    case Code::BadSignature:
        return QStringLiteral("bad-signature");
    case Code::UnsignedFirmware:
        return QStringLiteral("unsigned-firmware");
    case Code::RunEnded:
        return QStringLiteral("run-ended");
    case Code::RunRunning:
        return QStringLiteral("run-running");
    case Code::NothingFailed:
        return QStringLiteral("nothing-failed");
    case Code::BadJson:
        return QStringLiteral("bad-json");
    case Code::UnknownField:
        return QStringLiteral("unknown-field");
    case Code::BadProduct:
        return QStringLiteral("bad-product");
    case Code::BadParallel:
        return QStringLiteral("bad-parallel");
    case Code::BadUnits:
        return QStringLiteral("bad-units");
    case Code::UnknownFirmware:
        return QStringLiteral("unknown-firmware");
    case Code::UnitBusy:
        return QStringLiteral("unit-busy");
    case Code::TooManyRuns:
        return QStringLiteral("too-many-runs");
    case Code::BadFilter:
        return QStringLiteral("bad-filter");
    case Code::BadId:
        return QStringLiteral("bad-id");
    case Code::BadSerial:
        return QStringLiteral("bad-serial");
    case Code::BadRetries:
        return QStringLiteral("bad-retries");
    case Code::BadLot:
        return QStringLiteral("bad-lot");
    case Code::HistoryUnavailable:
        return QStringLiteral("history-unavailable");
    case Code::HistoryBusy:
        return QStringLiteral("history-busy");
    case Code::Internal:
        return QStringLiteral("internal");
    }
    return QStringLiteral("internal");
}

StationError StationError::unsignedFirmware(const QString& sha256)
{
    return StationError(Code::UnsignedFirmware,
                        QStringLiteral("The firmware %1 has no good signature by a release key; add its .sig "
                                       "with PUT /api/v1/firmware/%1/signature.")
                            .arg(sha256));
}
