#pragma once

#include "station/EventsResource.h"
#include "station/FirmwareResource.h"
#include "station/FixtureResource.h"
#include "station/GuessLimiter.h"
#include "station/HealthResource.h"
#include "station/HistoryApi.h"
#include "station/HostCheck.h"
#include "station/HttpMessages.h"
#include "station/RouteTable.h"
#include "station/RunResource.h"
#include "station/StatusResource.h"

#include "station/StationError.h"

#include "engine/FirmwareSignatureCheck.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <optional>

class EventHub;
class FirmwareStore;
class HttpExchange;
class RunRegistry;
class StationFixtures;
class StationHistory;
class StationAudit;
class StationMetrics;
class StationTokens;
class Webhooks;
struct ProductVariant;

// Who may do what, and where each request goes. In this order: a Host that names none of the
// station's names is refused (421); OPTIONS gets no permission (405, and never a CORS header); a
// path with ".." or control characters never goes further (400). Under /api and at /metrics, an
// address that sent too many wrong tokens is refused for a while (429); a request that changes
// anything needs a token of the station's, and on an address other than loopback every request
// does (401); what only administrators may do needs an
// administrator's token (403). Then the route, from the one table of every path the station
// answers, which also says what each needs. Pages are served without a token: they hold no data;
// so are /healthz and /readyz, which say only "ok" or why not. Every request that changes
// something, and every one refused for its token, is in the audit.
class StationApi
{
public:
    struct Settings
    {
        StationTokens* tokens = nullptr;
        StationAudit* audit = nullptr;
        bool tokenForReads = false; // listening on an address other than loopback
        qint64 maxFirmwareSize = 0;
        const ProductVariant* defaultProduct = nullptr;
        SignatureTrust trust;         // the release keys; unset: signatures are not asked for
        bool historyRequired = false; // not ready without a history
    };

    StationApi(Settings settings, HostCheck hosts, FirmwareStore& store, RunRegistry& runs, EventHub& hub,
               const StationHistory& history, StationFixtures& fixtures, const StationMetrics& metrics);

    void handle(HttpExchange& exchange);
    // SIGTERM came: /readyz answers 503 from now on.
    void setStopping() { m_health.setStopping(); }
    // For the status answer.
    void setWebhooks(const Webhooks* webhooks) { m_status.setWebhooks(webhooks); }

    // "/a/%2e%2e/b" arrives decoded; any ".." segment, backslash or control character is refused.
    static bool isSafePath(const QString& path);
    // A firmware name as a client gives it: no path, no control characters, ending in .hex.
    static bool isFirmwareName(const QString& name);

private:
    // The refusal for a request of that access, if it is refused; sets the exchange's token.
    std::optional<StationError> admission(HttpExchange& exchange, Access access);
    static StationError tooManyTries(qint64 ms);
    QList<RouteTable::Route> routes();
    static void refuseMethod(HttpExchange& exchange, const QByteArray& allowed);

    Settings m_settings;
    HostCheck m_hosts;
    FirmwareResource m_firmware;
    RunResource m_runs;
    HistoryApi m_updates;
    StatusResource m_status;
    EventsResource m_events;
    FixtureResource m_fixtures;
    HealthResource m_health;
    const StationMetrics& m_metrics;
    RouteTable m_routes;
    GuessLimiter m_guesses;
    QElapsedTimer m_clock;
};
