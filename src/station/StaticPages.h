#pragma once

#include "station/HttpMessages.h"

#include <QString>

#include <optional>

// The dashboard's files, compiled into the program from src/station/web/: "/" is index.html and
// every other file has its own path under "/". The API's description (docs/openapi.json) is
// compiled in too. Nothing is read from the file system.
namespace StaticPages {

// The file for a request path, or nothing when the program holds none by that name. The path
// has been checked (no "..", no control characters) before it comes here.
std::optional<HttpResponse> find(const QString& path);
QByteArray contentType(const QString& fileName);
// /api/v1/openapi.json.
HttpResponse apiDescription();

} // namespace StaticPages
