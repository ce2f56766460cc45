#pragma once

#include "station/HttpMessages.h"
#include "station/StationResult.h"

#include <QByteArray>
#include <QString>

class HttpExchange;
class StationFixtures;

// /api/v1/fixtures: the line's fixtures, their watches and the serial numbers scanned for them.
class FixtureResource
{
public:
    static constexpr qint64 MaxJsonBody = 64 * 1024;

    explicit FixtureResource(StationFixtures& fixtures) : m_fixtures(fixtures) {}

    StationResult<HttpResponse> list() const;
    // POST .../watch {"firmware": SHA256, "serial_required": false, "retries": 2}
    void watch(HttpExchange& exchange, const QString& name);
    StationResult<HttpResponse> unwatch(const QString& name);
    // POST .../serial {"serial": "..."}
    void serial(HttpExchange& exchange, const QString& name);

private:
    // who: the name of the token that asked.
    StationResult<HttpResponse> watched(const QString& name, const QByteArray& body, const QString& who);
    StationResult<HttpResponse> serialGiven(const QString& name, const QByteArray& body, const QString& who);
    void withBody(HttpExchange& exchange, const QString& name,
                  StationResult<HttpResponse> (FixtureResource::*handle)(const QString&, const QByteArray&,
                                                                         const QString&));

    StationFixtures& m_fixtures;
};
