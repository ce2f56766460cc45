#include "station/StationErrorResponse.h"

namespace StationErrorResponse {

int status(StationError::Code code)
{
    using enum StationError::Code;
    switch (code) {
    case BadPath:
    case BadName:
    case BadSha256:
    case BadJson:
    case UnknownField:
    case BadProduct:
    case BadParallel:
    case BadUnits:
    case BadFilter:
    case BadId:
    case BadSerial:
    case BadRetries:
    case BadLot:
        return 400;
    case Unauthorized:
        return 401;
    case Forbidden:
        return 403;
    case TooManyTries:
        return 429;
    case NotFound:
    case UnknownFirmware:
        return 404;
    case MethodNotAllowed:
        return 405;
    case FirmwareInUse:
    case RunEnded:
    case RunRunning:
    case NothingFailed:
    case UnitBusy:
        return 409;
    case TooLarge:
        return 413;
    case Misdirected:
        return 421;
    case CheckFailed:
    case BadSignature:
    case UnsignedFirmware:
        return 422;
    case Internal:
        return 500;
    case TooManyRuns:
    case HistoryUnavailable:
    case HistoryBusy:
        return 503;
    }
    return 500;
}

HttpResponse of(const StationError& error)
{
    HttpResponse response =
        HttpResponse::error(status(error.code()), error.name(), error.message(), error.extra());
    switch (error.code()) {
    case StationError::Code::Unauthorized:
        response.headers.append({QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer")});
        break;
    case StationError::Code::HistoryBusy:
        response.headers.append({QByteArrayLiteral("Retry-After"), QByteArrayLiteral("1")});
        break;
    case StationError::Code::TooManyTries:
        response.headers.append(
            {QByteArrayLiteral("Retry-After"),
             QByteArray::number(error.extra().value(QStringLiteral("retry_after")).toInteger())});
        break;
    default:
        break;
    }
    return response;
}

} // namespace StationErrorResponse
