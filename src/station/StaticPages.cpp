#include "station/StaticPages.h"

#include <QFile>

namespace StaticPages {

QByteArray contentType(const QString& fileName)
{
    const QString suffix = fileName.section(u'.', -1).toLower();
    if (suffix == QLatin1String("html"))
        return QByteArrayLiteral("text/html; charset=utf-8");
    if (suffix == QLatin1String("js") || suffix == QLatin1String("mjs"))
        return QByteArrayLiteral("text/javascript; charset=utf-8");
    if (suffix == QLatin1String("css"))
        return QByteArrayLiteral("text/css; charset=utf-8");
    if (suffix == QLatin1String("svg"))
        return QByteArrayLiteral("image/svg+xml");
    if (suffix == QLatin1String("png"))
        return QByteArrayLiteral("image/png");
    if (suffix == QLatin1String("ico"))
        return QByteArrayLiteral("image/x-icon");
    if (suffix == QLatin1String("json"))
        return QByteArrayLiteral("application/json");
    if (suffix == QLatin1String("woff2"))
        return QByteArrayLiteral("font/woff2");
    if (suffix == QLatin1String("txt"))
        return QByteArrayLiteral("text/plain; charset=utf-8");
    return QByteArrayLiteral("application/octet-stream");
}

std::optional<HttpResponse> find(const QString& path)
{
    const QString name = path == QLatin1String("/") ? QStringLiteral("/index.html") : path;
    QFile file(QStringLiteral(":/station/web") + name);
    if (name.endsWith(u'/') || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    HttpResponse response;
    response.contentType = contentType(name);
    response.body = file.readAll();
    return response;
}

HttpResponse apiDescription()
{
    QFile file(QStringLiteral(":/station/openapi.json"));
    file.open(QIODevice::ReadOnly);
    HttpResponse response;
    response.contentType = QByteArrayLiteral("application/json");
    response.body = file.readAll();
    return response;
}

} // namespace StaticPages
