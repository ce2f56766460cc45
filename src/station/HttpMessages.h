#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <utility>

// One request as the server read it: method, path (percent-decoded, without the query), query
// arguments (decoded), headers (names in lower case) and the client's address.
struct HttpRequest
{
    QByteArray method;
    QString path;
    QHash<QString, QString> query;
    QHash<QByteArray, QByteArray> headers;
    int hostHeaders = 0; // how many Host headers came; more than one is refused
    QHostAddress client;
    qint64 contentLength = -1; // -1: none given (no body, or a chunked one)
    bool chunked = false;

    QByteArray header(const QByteArray& lowerCaseName) const { return headers.value(lowerCaseName); }
    bool hasBody() const { return chunked || contentLength > 0; }
};

struct HttpResponse
{
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers;

    static HttpResponse json(int status, const QJsonObject& object);
    static HttpResponse noContent();
    // {"error": code, "message": message} and any further members of `extra`.
    static HttpResponse error(int status, const QString& code, const QString& message,
                              const QJsonObject& extra = {});
};
