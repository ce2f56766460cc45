#include "station/FixtureResource.h"

#include "station/ApiReply.h"
#include "station/FirmwareStore.h"
#include "station/HttpExchange.h"
#include "station/StationFixtures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

namespace {

StationError noFixture(const QString& name)
{
    return StationError(StationError::Code::NotFound,
                        QStringLiteral("No fixture is named \"%1\".").arg(name.left(64)));
}

// The body as a JSON object whose members are all among `known`.
StationResult<QJsonObject> bodyObject(const QByteArray& body, const QStringList& known)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return StationError(StationError::Code::BadJson, QStringLiteral("The body must be a JSON object."));
    const QJsonObject object = document.object();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it)
        if (!known.contains(it.key()))
            return StationError(StationError::Code::UnknownField,
                                QStringLiteral("Unknown member \"%1\"; this takes %2.")
                                    .arg(it.key().left(64), known.join(QStringLiteral(", "))));
    return object;
}

} // namespace

StationResult<HttpResponse> FixtureResource::list() const
{
    QJsonArray list;
    for (const Fixture* fixture : m_fixtures.fixtures())
        list.append(m_fixtures.toJson(*fixture));
    return HttpResponse::json(200, {{QStringLiteral("fixtures"), list}});
}

void FixtureResource::withBody(HttpExchange& exchange, const QString& name,
                               StationResult<HttpResponse> (FixtureResource::*handle)(const QString&,
                                                                                      const QByteArray&,
                                                                                      const QString&))
{
    auto body = std::make_shared<QByteArray>();
    exchange.receiveBody(
        MaxJsonBody, [body](const char* data, qsizetype size) { body->append(data, size); },
        [this, body, name, handle, reply = ApiReply(exchange), who = exchange.tokenName()] {
            reply.send((this->*handle)(name, *body, who));
        });
}

void FixtureResource::watch(HttpExchange& exchange, const QString& name)
{
    withBody(exchange, name, &FixtureResource::watched);
}

void FixtureResource::serial(HttpExchange& exchange, const QString& name)
{
    withBody(exchange, name, &FixtureResource::serialGiven);
}

StationResult<HttpResponse> FixtureResource::watched(const QString& name, const QByteArray& body,
                                                     const QString& who)
{
    Fixture* fixture = m_fixtures.find(name);
    if (!fixture)
        return noFixture(name);
    const StationResult<QJsonObject> object = bodyObject(
        body, {QStringLiteral("firmware"), QStringLiteral("serial_required"), QStringLiteral("retries")});
    if (!object)
        return object.error();
    StationFixtures::WatchRequest request;
    const QJsonValue firmware = object->value(QStringLiteral("firmware"));
    if (!firmware.isString() || !FirmwareStore::isSha256(firmware.toString()))
        return StationError(
            StationError::Code::BadSha256,
            QStringLiteral("\"firmware\" must be the SHA-256 of a stored file (64 hex digits)."));
    request.firmware = firmware.toString().toLower();
    const QJsonValue serialRequired = object->value(QStringLiteral("serial_required"));
    if (!serialRequired.isUndefined() && !serialRequired.isBool())
        return StationError(StationError::Code::BadJson,
                            QStringLiteral("\"serial_required\" must be true or false."));
    request.serialRequired = serialRequired.toBool(false);
    const QJsonValue retries = object->value(QStringLiteral("retries"));
    if (!retries.isUndefined()) {
        const double n = retries.toDouble(-1);
        if (!retries.isDouble() || n < 0 || n > StationFixtures::MaxRetries || n != int(n))
            return StationError(StationError::Code::BadRetries,
                                QStringLiteral("\"retries\" must be a whole number from 0 to %1.")
                                    .arg(StationFixtures::MaxRetries));
        request.retries = int(n);
    }
    request.startedBy = who;
    const StationResult<QJsonObject> result = m_fixtures.watch(*fixture, request);
    if (!result)
        return result.error();
    return HttpResponse::json(200, *result);
}

StationResult<HttpResponse> FixtureResource::unwatch(const QString& name)
{
    Fixture* fixture = m_fixtures.find(name);
    if (!fixture)
        return noFixture(name);
    fixture->stopWatching();
    return HttpResponse::json(200, m_fixtures.toJson(*fixture));
}

StationResult<HttpResponse> FixtureResource::serialGiven(const QString& name, const QByteArray& body,
                                                         const QString& /*who*/)
{
    Fixture* fixture = m_fixtures.find(name);
    if (!fixture)
        return noFixture(name);
    const StationResult<QJsonObject> object = bodyObject(body, {QStringLiteral("serial")});
    if (!object)
        return object.error();
    const QJsonValue serial = object->value(QStringLiteral("serial"));
    const StationResult<QJsonObject> result =
        m_fixtures.setSerial(*fixture, serial.isString() ? serial.toString() : QString());
    if (!result)
        return result.error();
    return HttpResponse::json(200, *result);
}
