#include "station/StationAudit.h"

#include "station/HttpExchange.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString objectOf(const HttpResponse& response)
{
    if (!response.contentType.startsWith("application/json"))
        return {};
    const QJsonObject body = QJsonDocument::fromJson(response.body).object();
    for (const char* name : {"sha256", "id"})
        if (const QJsonValue value = body.value(QLatin1String(name)); value.isString())
            return value.toString().left(64);
    return {};
}

} // namespace

void StationAudit::follow(HttpExchange& exchange, const QString& object)
{
    // The request is copied: the exchange is gone when the client leaves before the answer.
    exchange.onAnswer([this, request = exchange.request(), token = exchange.tokenName(),
                       object](const HttpResponse* response) {
        const QString named = object.isEmpty() && response ? objectOf(*response) : object;
        record(request, token, named, response ? response->status : 0);
    });
}

void StationAudit::record(const HttpRequest& request, const QString& token, const QString& object, int status)
{
    AuditEntry entry;
    entry.time = QDateTime::currentDateTimeUtc();
    entry.token = token;
    entry.client = request.client.toString();
    entry.method = QString::fromLatin1(request.method.left(16));
    entry.path = request.path.left(512);
    entry.object = object;
    entry.status = status;
    m_sink(std::move(entry));
}
