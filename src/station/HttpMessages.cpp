#include "station/HttpMessages.h"

#include <QJsonDocument>

HttpResponse HttpResponse::json(int status, const QJsonObject& object)
{
    HttpResponse response;
    response.status = status;
    response.contentType = QByteArrayLiteral("application/json");
    response.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    response.body += '\n';
    return response;
}

HttpResponse HttpResponse::noContent()
{
    HttpResponse response;
    response.status = 204;
    return response;
}

HttpResponse HttpResponse::error(int status, const QString& code, const QString& message,
                                 const QJsonObject& extra)
{
    QJsonObject object = extra;
    object[QStringLiteral("error")] = code;
    object[QStringLiteral("message")] = message;
    return json(status, object);
}
