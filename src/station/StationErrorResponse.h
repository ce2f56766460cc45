#pragma once

#include "station/HttpMessages.h"
#include "station/StationError.h"

// The one place a StationError becomes an HTTP answer: the status its code is answered with, the
// body {"error": name, "message": message, ...extra}, and the headers that belong to the code
// (WWW-Authenticate for unauthorized, Retry-After for history-busy).
namespace StationErrorResponse {

int status(StationError::Code code);
HttpResponse of(const StationError& error);

} // namespace StationErrorResponse
