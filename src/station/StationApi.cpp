#include "station/StationApi.h"

#include "station/ApiReply.h"
#include "station/HttpExchange.h"
#include "station/MetricsText.h"
#include "station/StaticPages.h"
#include "station/StationAudit.h"
#include "station/StationErrorResponse.h"
#include "station/StationHistory.h"
#include "station/StationMetrics.h"
#include "station/StationTokens.h"

#include <optional>
#include <type_traits>

using namespace Qt::Literals::StringLiterals;

namespace {

bool isRead(const QByteArray& method)
{
    return method == "GET" || method == "HEAD";
}

bool isApiPath(const QString& path)
{
    return path == QLatin1String("/api") || path.startsWith(QLatin1String("/api/"));
}

// What the API's read rule covers: the API and the metrics.
bool isDataPath(const QString& path)
{
    return isApiPath(path) || path == QLatin1String("/metrics");
}

using Arguments = RouteTable::Arguments;

// A handler whose answer is there at once: resource.method(), or for a pattern with one
// "{name}" resource.method(that segment).
template <typename Resource, typename Method> RouteTable::Handler now(Resource& resource, Method method)
{
    return [&resource, method](HttpExchange& exchange, const Arguments& path) {
        if constexpr (std::is_invocable_v<Method, Resource&>)
            ApiReply(exchange).send((resource.*method)());
        else
            ApiReply(exchange).send((resource.*method)(path.isEmpty() ? QString() : *path.cbegin()));
    };
}

// A handler that answers later, through the exchange: a body to read first, a stream.
template <typename Resource>
RouteTable::Handler later(Resource& resource, void (Resource::*method)(HttpExchange&))
{
    return [&resource, method](HttpExchange& exchange, const Arguments&) { (resource.*method)(exchange); };
}

RouteTable::Handler notFound(const QString& what)
{
    return [what](HttpExchange& exchange, const Arguments&) {
        ApiReply(exchange).send(StationError(StationError::Code::NotFound, what));
    };
}

} // namespace

StationApi::StationApi(Settings settings, HostCheck hosts, FirmwareStore& store, RunRegistry& runs,
                       EventHub& hub, const StationHistory& history, StationFixtures& fixtures,
                       const StationMetrics& metrics)
    : m_settings(std::move(settings)), m_hosts(std::move(hosts)),
      m_firmware(store, runs, fixtures, m_settings.maxFirmwareSize, m_settings.trust),
      m_runs(runs, m_settings.defaultProduct), m_updates(history.location()),
      m_status(runs, history, m_settings.defaultProduct), m_events(hub), m_fixtures(fixtures),
      m_health(history, m_settings.historyRequired), m_metrics(metrics), m_routes(routes())
{
    m_clock.start();
}

// Every path the station answers, and with what. The rows of a path list its methods in the
// order its 405 answer's Allow header names them; the event stream answers HEAD as it does GET
// without saying so.
QList<RouteTable::Route> StationApi::routes()
{
    const auto apiDescription = [](HttpExchange& exchange, const Arguments&) {
        exchange.respond(StaticPages::apiDescription());
    };
    const auto updates = [this](HttpExchange& exchange, const Arguments&) {
        m_updates.list(exchange.request().query, ApiReply(exchange).json());
    };
    const auto update = [this](HttpExchange& exchange, const Arguments& path) {
        m_updates.byId(path.value(u"id"_s), ApiReply(exchange).json());
    };
    // The file is found by the path as it came.
    const auto page = [](HttpExchange& exchange, const Arguments&) {
        if (std::optional<HttpResponse> file = StaticPages::find(exchange.request().path))
            exchange.respond(*file);
        else
            ApiReply(exchange).send(StationError(StationError::Code::NotFound, u"No such page."_s));
    };
    const auto watch = [this](HttpExchange& exchange, const Arguments& path) {
        m_fixtures.watch(exchange, path.value(u"name"_s));
    };
    const auto serial = [this](HttpExchange& exchange, const Arguments& path) {
        m_fixtures.serial(exchange, path.value(u"name"_s));
    };
    // Who started a run is the token's name.
    const auto retry = [this](HttpExchange& exchange, const Arguments& path) {
        ApiReply(exchange).send(m_runs.retry(path.value(u"id"_s), exchange.tokenName()));
    };
    const auto audit = [this](HttpExchange& exchange, const Arguments&) {
        m_updates.audit(exchange.request().query, ApiReply(exchange).json());
    };
    const auto signature = [this](HttpExchange& exchange, const Arguments& path) {
        m_firmware.putSignature(exchange, path.value(u"sha256"_s));
    };
    const auto metrics = [this](HttpExchange& exchange, const Arguments&) {
        HttpResponse response;
        response.contentType = MetricsText::ContentType.toByteArray();
        response.body = m_metrics.text();
        exchange.respond(response);
    };
    const auto live = [this](HttpExchange& exchange, const Arguments&) { exchange.respond(m_health.live()); };
    const auto ready = [this](HttpExchange& exchange, const Arguments&) {
        exchange.respond(m_health.ready());
    };
    const auto session = [](HttpExchange& exchange, const Arguments&) {
        const auto orNull = [](const QString& text) {
            return text.isEmpty() ? QJsonValue() : QJsonValue(text);
        };
        exchange.respond(HttpResponse::json(
            200, {{u"token"_s, orNull(exchange.tokenName())}, {u"role"_s, orNull(exchange.tokenRole())}}));
    };
    const QByteArray any = RouteTable::AnyMethod;
    constexpr Access operate = Access::Operate;
    constexpr Access administer = Access::Administer;

    // clang-format off
    return {
        {{"GET", "HEAD"}, u"/api/v1/openapi.json"_s,      apiDescription},
        {{"GET", "HEAD"}, u"/api/v1/session"_s,           session},
        {{"GET", "HEAD"}, u"/api/v1/firmware"_s,          now(m_firmware, &FirmwareResource::list)},
        {{"POST"},        u"/api/v1/firmware"_s,          later(m_firmware, &FirmwareResource::upload), administer},
        {{"GET", "HEAD"}, u"/api/v1/firmware/{sha256}"_s, now(m_firmware, &FirmwareResource::get)},
        {{"DELETE"},      u"/api/v1/firmware/{sha256}"_s, now(m_firmware, &FirmwareResource::remove), administer},
        {{"PUT"},         u"/api/v1/firmware/{sha256}/signature"_s, signature,                      administer},
        {{"GET", "HEAD"}, u"/api/v1/runs"_s,              now(m_runs, &RunResource::list)},
        {{"POST"},        u"/api/v1/runs"_s,              later(m_runs, &RunResource::start),       operate},
        {{"GET", "HEAD"}, u"/api/v1/runs/{id}"_s,         now(m_runs, &RunResource::get)},
        {{"DELETE"},      u"/api/v1/runs/{id}"_s,         now(m_runs, &RunResource::cancel),        operate},
        {{"POST"},        u"/api/v1/runs/{id}/retry"_s,   retry,                                    operate},
        {{"GET"},         u"/api/v1/events"_s,            later(m_events, &EventsResource::subscribe)},
        {{"GET", "HEAD"}, u"/api/v1/updates"_s,           updates},
        {{"GET", "HEAD"}, u"/api/v1/updates/{id}"_s,      update},
        {{"GET", "HEAD"}, u"/api/v1/audit"_s,             audit,                                    administer},
        {{"GET", "HEAD"}, u"/api/v1/status"_s,            now(m_status, &StatusResource::get)},
        {{"GET", "HEAD"}, u"/api/v1/fixtures"_s,          now(m_fixtures, &FixtureResource::list)},
        {{"POST"},        u"/api/v1/fixtures/{name}/watch"_s,  watch,                               operate},
        {{"DELETE"},      u"/api/v1/fixtures/{name}/watch"_s,  now(m_fixtures, &FixtureResource::unwatch), operate},
        {{"POST"},        u"/api/v1/fixtures/{name}/serial"_s, serial,                              operate},
        {{any},           u"/api/{path...}"_s,            notFound(u"No such API path."_s)},
        {{"GET", "HEAD"}, u"/metrics"_s,                  metrics},
        {{"GET", "HEAD"}, u"/healthz"_s,                  live},
        {{"GET", "HEAD"}, u"/readyz"_s,                   ready},
        // The dashboard: whatever is not under /api.
        {{"GET", "HEAD"}, u"/{file...}"_s,                page},
    };
    // clang-format on
}

bool StationApi::isSafePath(const QString& path)
{
    if (!path.startsWith(u'/') || path.contains(u'\\'))
        return false;
    for (QChar c : path)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    const QStringList segments = path.split(u'/');
    return !segments.contains(QStringLiteral("..")) && !segments.contains(QStringLiteral("."));
}

bool StationApi::isFirmwareName(const QString& name)
{
    if (name.size() < 5 || name.size() > 255 || !name.endsWith(QLatin1String(".hex"), Qt::CaseInsensitive))
        return false;
    for (QChar c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == u'/' || c == u'\\' ||
            c.category() == QChar::Other_Format)
            return false;
    return !name.startsWith(u'.');
}

StationError StationApi::tooManyTries(qint64 ms)
{
    const qint64 seconds = (ms + 999) / 1000;
    return StationError(
        StationError::Code::TooManyTries,
        QStringLiteral("Too many wrong tokens from this address; try again in %1 s.").arg(seconds),
        {{u"retry_after"_s, seconds}});
}

std::optional<StationError> StationApi::admission(HttpExchange& exchange, Access access)
{
    using enum StationError::Code;
    const HttpRequest& request = exchange.request();
    const qint64 now = m_clock.elapsed();
    const QByteArray header = request.header("authorization").trimmed();
    constexpr QByteArrayView scheme("bearer ");
    const bool bearer = header.size() > scheme.size() && header.left(scheme.size()).toLower() == scheme;
    std::optional<StationTokens::Identity> identity;
    if (bearer) {
        identity = m_settings.tokens->identify(header.mid(scheme.size()).trimmed());
        if (!identity && m_guesses.wrong(request.client, now))
            return tooManyTries(GuessLimiter::LockMs);
    }
    if (identity)
        exchange.setToken(identity->name, Roles::name(identity->role));
    // A read that needs no token is answered as for none, whatever token came: but a wrong one
    // still counts as a guess (the session would tell it from a right one).
    if ((access != Access::Read || m_settings.tokenForReads) && !identity)
        return StationError(
            Unauthorized,
            QStringLiteral(
                "This needs a token of the station: Authorization: Bearer TOKEN (see STATE_DIR/token "
                "and uploader-station token)."));
    if (identity && !Roles::allows(identity->role, access))
        return StationError(Forbidden, QStringLiteral("The token \"%1\" is an operator's; this needs an "
                                                      "administrator's.")
                                           .arg(identity->name));
    return std::nullopt;
}

void StationApi::refuseMethod(HttpExchange& exchange, const QByteArray& allowed)
{
    HttpResponse response = StationErrorResponse::of(
        StationError(StationError::Code::MethodNotAllowed,
                     QStringLiteral("Allowed here: %1.").arg(QString::fromLatin1(allowed))));
    response.headers.append({QByteArrayLiteral("Allow"), allowed});
    exchange.respond(response);
}

void StationApi::handle(HttpExchange& exchange)
{
    using enum StationError::Code;
    const ApiReply reply(exchange);
    const HttpRequest& request = exchange.request();
    if (request.hostHeaders != 1 || !m_hosts.allows(request.header("host"))) {
        reply.send(
            StationError(Misdirected, QStringLiteral("This station does not answer to the host \"%1\"; "
                                                     "start it with --server-name to add a name.")
                                          .arg(QString::fromLatin1(request.header("host")).left(200))));
        return;
    }
    if (request.method == "OPTIONS") {
        refuseMethod(exchange, m_routes.allMethods());
        return;
    }
    if (!isSafePath(request.path)) {
        reply.send(StationError(BadPath, QStringLiteral("The path is not allowed.")));
        return;
    }
    // The last rows take every path: a path without a route for the method takes other methods.
    const RouteTable::Match match = m_routes.find(request.method, request.path);
    if (isDataPath(request.path)) {
        const Access access =
            match.route ? match.route->access : (isRead(request.method) ? Access::Read : Access::Operate);
        // A lock-out is recorded when it begins, not for every request it refuses after.
        if (const qint64 locked = m_guesses.lockedFor(request.client, m_clock.elapsed()); locked > 0) {
            reply.send(tooManyTries(locked));
            return;
        }
        const std::optional<StationError> refusal = admission(exchange, access);
        QString object;
        for (const char* name : {"sha256", "id", "name"})
            if (object.isEmpty())
                object = match.arguments.value(QLatin1String(name)).left(64);
        if (refusal) {
            m_settings.audit->record(request, exchange.tokenName(), object,
                                     StationErrorResponse::status(refusal->code()));
            reply.send(*refusal);
            return;
        }
        if (!isRead(request.method))
            m_settings.audit->follow(exchange, object);
    }
    if (match.route)
        match.route->handler(exchange, match.arguments);
    else
        refuseMethod(exchange, match.allowed);
}
