#include "station/StationApi.h"

#include "settings/ProductVariant.h"
#include "station/ApiReply.h"
#include "station/EventHub.h"
#include "station/FirmwareStore.h"
#include "station/FirmwareUpload.h"
#include "station/HttpExchange.h"
#include "station/RunRegistry.h"
#include "station/RunRequest.h"
#include "station/StaticPages.h"
#include "station/StationErrorResponse.h"
#include "station/StationHistory.h"
#include "station/TokenFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QPointer>

#include <memory>

namespace {

bool isRead(const QByteArray& method)
{
    return method == "GET" || method == "HEAD";
}

HttpResponse notFound(const QString& what)
{
    return HttpResponse::error(404, QStringLiteral("not-found"), what);
}

} // namespace

StationApi::StationApi(Settings settings, HostCheck hosts, FirmwareStore& store, RunRegistry& runs,
                       EventHub& hub, const StationHistory& history)
    : m_settings(std::move(settings)), m_hosts(std::move(hosts)), m_store(store), m_runs(runs), m_hub(hub),
      m_history(history), m_historyApi(history.location())
{
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

bool StationApi::authorized(const HttpRequest& request) const
{
    const QByteArray header = request.header("authorization").trimmed();
    constexpr QByteArrayView scheme("bearer ");
    if (header.size() <= scheme.size() || header.left(scheme.size()).toLower() != scheme)
        return false;
    return TokenFile::matches(m_settings.token, header.mid(scheme.size()).trimmed());
}

void StationApi::handle(HttpExchange& exchange)
{
    const HttpRequest& request = exchange.request();
    if (request.hostHeaders != 1 || !m_hosts.allows(request.header("host"))) {
        exchange.respond(
            HttpResponse::error(421, QStringLiteral("misdirected"),
                                QStringLiteral("This station does not answer to the host \"%1\"; "
                                               "start it with --server-name to add a name.")
                                    .arg(QString::fromLatin1(request.header("host")).left(200))));
        return;
    }
    if (request.method == "OPTIONS") {
        exchange.respond(methodNotAllowed(QByteArrayLiteral("GET, HEAD, POST, DELETE")));
        return;
    }
    if (!isSafePath(request.path)) {
        exchange.respond(
            HttpResponse::error(400, QStringLiteral("bad-path"), QStringLiteral("The path is not allowed.")));
        return;
    }
    if (request.path == QLatin1String("/api") || request.path.startsWith(QLatin1String("/api/"))) {
        if ((m_settings.tokenForReads || !isRead(request.method)) && !authorized(request)) {
            HttpResponse response = HttpResponse::error(
                401, QStringLiteral("unauthorized"),
                QStringLiteral(
                    "This needs the station's token: Authorization: Bearer TOKEN (see STATE_DIR/token)."));
            response.headers.append({QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer")});
            exchange.respond(response);
            return;
        }
        QStringList parts = request.path.split(u'/', Qt::SkipEmptyParts);
        if (parts.size() < 3 || parts.at(1) != QLatin1String("v1")) {
            exchange.respond(notFound(QStringLiteral("No such API path.")));
            return;
        }
        route(exchange, parts.mid(2));
        return;
    }
    if (!isRead(request.method)) {
        exchange.respond(methodNotAllowed(QByteArrayLiteral("GET, HEAD")));
        return;
    }
    if (std::optional<HttpResponse> page = StaticPages::find(request.path))
        exchange.respond(*page);
    else
        exchange.respond(notFound(QStringLiteral("No such page.")));
}

HttpResponse StationApi::methodNotAllowed(const QByteArray& allowed)
{
    HttpResponse response =
        HttpResponse::error(405, QStringLiteral("method-not-allowed"),
                            QStringLiteral("Allowed here: %1.").arg(QString::fromLatin1(allowed)));
    response.headers.append({QByteArrayLiteral("Allow"), allowed});
    return response;
}

void StationApi::route(HttpExchange& exchange, const QStringList& parts)
{
    const QByteArray& method = exchange.request().method;
    const QString& first = parts.at(0);
    if (parts.size() == 1 && first == QLatin1String("openapi.json")) {
        if (!isRead(method)) {
            exchange.respond(methodNotAllowed(QByteArrayLiteral("GET, HEAD")));
            return;
        }
        QFile file(QStringLiteral(":/station/openapi.json"));
        file.open(QIODevice::ReadOnly);
        HttpResponse response;
        response.contentType = QByteArrayLiteral("application/json");
        response.body = file.readAll();
        exchange.respond(response);
    } else if (first == QLatin1String("firmware") && parts.size() == 1) {
        firmwareCollection(exchange);
    } else if (first == QLatin1String("firmware") && parts.size() == 2) {
        firmwareItem(exchange, parts.at(1));
    } else if (first == QLatin1String("runs") && parts.size() == 1) {
        runCollection(exchange);
    } else if (first == QLatin1String("runs") && parts.size() == 2) {
        runItem(exchange, parts.at(1));
    } else if (first == QLatin1String("events") && parts.size() == 1) {
        events(exchange);
    } else if (first == QLatin1String("updates") && parts.size() <= 2) {
        if (!isRead(method))
            exchange.respond(methodNotAllowed(QByteArrayLiteral("GET, HEAD")));
        else if (parts.size() == 1)
            m_historyApi.list(exchange.request().query, ApiReply(exchange).json());
        else
            m_historyApi.byId(parts.at(1), ApiReply(exchange).json());
    } else if (first == QLatin1String("status") && parts.size() == 1) {
        status(exchange);
    } else {
        exchange.respond(notFound(QStringLiteral("No such API path.")));
    }
}

void StationApi::firmwareCollection(HttpExchange& exchange)
{
    const HttpRequest& request = exchange.request();
    if (isRead(request.method)) {
        QJsonArray list;
        const QList<StoredFirmware> all = m_store.list();
        for (const StoredFirmware& firmware : all)
            list.append(firmware.toJson(true));
        exchange.respond(HttpResponse::json(200, {{QStringLiteral("firmware"), list}}));
        return;
    }
    if (request.method != "POST") {
        exchange.respond(methodNotAllowed(QByteArrayLiteral("GET, HEAD, POST")));
        return;
    }
    const QString name = request.query.value(QStringLiteral("name"));
    if (!isFirmwareName(name)) {
        exchange.respond(HttpResponse::error(
            400, QStringLiteral("bad-name"),
            QStringLiteral(
                "?name= must be a file name ending in .hex, without a path or control characters.")));
        return;
    }
    if (request.contentLength > m_settings.maxFirmwareSize) {
        exchange.respond(
            HttpResponse::error(413, QStringLiteral("too-large"),
                                QStringLiteral("The file is %1 bytes; the station takes at most %2.")
                                    .arg(request.contentLength)
                                    .arg(m_settings.maxFirmwareSize)));
        return;
    }
    FirmwareUpload::start(exchange, m_store, name, m_settings.maxFirmwareSize);
}

void StationApi::firmwareItem(HttpExchange& exchange, const QString& sha256)
{
    const QByteArray& method = exchange.request().method;
    if (!isRead(method) && method != "DELETE") {
        exchange.respond(methodNotAllowed(QByteArrayLiteral("GET, HEAD, DELETE")));
        return;
    }
    if (!FirmwareStore::isSha256(sha256)) {
        exchange.respond(HttpResponse::error(400, QStringLiteral("bad-sha256"),
                                             QStringLiteral("A firmware id is its SHA-256: 64 hex digits.")));
        return;
    }
    const StoredFirmware* firmware = m_store.find(sha256);
    if (!firmware) {
        exchange.respond(notFound(QStringLiteral("No stored firmware has that SHA-256.")));
        return;
    }
    if (isRead(method)) {
        exchange.respond(HttpResponse::json(200, firmware->toJson(true)));
        return;
    }
    if (m_runs.firmwareInUse(sha256)) {
        exchange.respond(HttpResponse::error(409, QStringLiteral("firmware-in-use"),
                                             QStringLiteral("A running run uses this firmware.")));
        return;
    }
    QString error;
    if (!m_store.remove(sha256, &error)) {
        exchange.respond(HttpResponse::error(500, QStringLiteral("internal"), error));
        return;
    }
    exchange.respond(HttpResponse::noContent());
}

void StationApi::runCollection(HttpExchange& exchange)
{
    const QByteArray& method = exchange.request().method;
    if (isRead(method)) {
        QJsonArray list;
        for (const StationRun* run : m_runs.runs())
            list.append(run->toJson());
        exchange.respond(HttpResponse::json(200, {{QStringLiteral("runs"), list}}));
        return;
    }
    if (method != "POST") {
        exchange.respond(methodNotAllowed(QByteArrayLiteral("GET, HEAD, POST")));
        return;
    }
    auto body = std::make_shared<QByteArray>();
    QPointer<HttpExchange> target(&exchange);
    exchange.receiveBody(
        MaxJsonBody, [body](const char* data, qsizetype size) { body->append(data, size); },
        [this, body, target] {
            const StationResult<RunRequest> request = RunRequest::parse(*body, m_settings.defaultProduct);
            if (!request) {
                target->respond(StationErrorResponse::of(request.error()));
                return;
            }
            const StationResult<StationRun*> run = m_runs.start(*request);
            target->respond(run ? HttpResponse::json(201, {{QStringLiteral("id"), (*run)->id()}})
                                : StationErrorResponse::of(run.error()));
        });
}

void StationApi::runItem(HttpExchange& exchange, const QString& id)
{
    const QByteArray& method = exchange.request().method;
    if (!isRead(method) && method != "DELETE") {
        exchange.respond(methodNotAllowed(QByteArrayLiteral("GET, HEAD, DELETE")));
        return;
    }
    StationRun* run = m_runs.find(id);
    if (!run) {
        exchange.respond(notFound(QStringLiteral("No run has the id \"%1\".").arg(id.left(64))));
        return;
    }
    if (method == "DELETE") {
        if (!run->running()) {
            exchange.respond(HttpResponse::error(
                409, QStringLiteral("run-ended"),
                QStringLiteral("The run has ended already (%1).").arg(StationRun::stateName(run->state()))));
            return;
        }
        run->cancel();
    }
    exchange.respond(HttpResponse::json(200, run->toJson()));
}

void StationApi::events(HttpExchange& exchange)
{
    if (!isRead(exchange.request().method)) {
        exchange.respond(methodNotAllowed(QByteArrayLiteral("GET")));
        return;
    }
    m_hub.subscribe(exchange, exchange.request().query.value(QStringLiteral("run")));
}

void StationApi::status(HttpExchange& exchange)
{
    if (!isRead(exchange.request().method)) {
        exchange.respond(methodNotAllowed(QByteArrayLiteral("GET, HEAD")));
        return;
    }
    int running = 0;
    for (const StationRun* run : m_runs.runs())
        running += run->running() ? 1 : 0;
    const QJsonObject history{
        {QStringLiteral("location"), m_history.location().display()},
        {QStringLiteral("warnings"), QJsonArray::fromStringList(m_history.warnings())},
    };
    exchange.respond(
        HttpResponse::json(200, {{QStringLiteral("version"), QCoreApplication::applicationVersion()},
                                 {QStringLiteral("product"),
                                  m_settings.defaultProduct ? QJsonValue(m_settings.defaultProduct->modelName)
                                                            : QJsonValue(QJsonValue::Null)},
                                 {QStringLiteral("runs_running"), running},
                                 {QStringLiteral("history"), history}}));
}
