#include "station/HttpServer.h"

#include "process/ConsoleOutput.h"

#include <QSocketNotifier>

#include <microhttpd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

MHD_Result toResult(int value)
{
    return value ? MHD_YES : MHD_NO;
}

HttpRequest readRequest(MHD_Connection* connection, const char* url, const char* method)
{
    HttpRequest request;
    request.method = QByteArray(method);
    request.path = QString::fromUtf8(url);
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
            auto* r = static_cast<HttpRequest*>(cls);
            const QByteArray name = QByteArray(key).toLower();
            if (name == "host")
                ++r->hostHeaders;
            r->headers.insert(name, QByteArray(value ? value : ""));
            return MHD_YES;
        },
        &request);
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
            static_cast<HttpRequest*>(cls)->query.insert(QString::fromUtf8(key),
                                                         QString::fromUtf8(value ? value : ""));
            return MHD_YES;
        },
        &request);
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
        request.client = QHostAddress(info->client_addr);
    bool ok = false;
    const QByteArray length = request.header("content-length");
    if (!length.isEmpty()) {
        request.contentLength = length.trimmed().toLongLong(&ok);
        if (!ok)
            request.contentLength = -1;
    }
    request.chunked = request.header("transfer-encoding").toLower().contains("chunked");
    return request;
}

void logToStderr(void*, const char* format, va_list arguments)
{
    char text[1024];
    std::vsnprintf(text, sizeof(text), format, arguments);
    ConsoleOutput::warn(QStringLiteral("http: ") + QString::fromUtf8(text).trimmed());
}

} // namespace

// libmicrohttpd's callbacks, with its own signatures.
struct HttpServerCallbacks
{
    static MHD_Result access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                             const char* version, const char* uploadData, size_t* uploadDataSize,
                             void** state);
    static void completed(void* cls, MHD_Connection* connection, void** state,
                          MHD_RequestTerminationCode reason);
    static ssize_t streamRead(void* cls, uint64_t position, char* buffer, size_t max);
};

// ---- HttpExchange ------------------------------------------------------------------------------

HttpExchange::HttpExchange(HttpServer& server, MHD_Connection* connection, HttpRequest request)
    : m_server(server), m_connection(connection), m_request(std::move(request))
{
}

HttpExchange::~HttpExchange()
{
    if (m_onAnswer)
        std::exchange(m_onAnswer, {})(nullptr);
}

void HttpExchange::respond(HttpResponse response)
{
    if (m_response || m_stream)
        return;
    m_response = std::move(response);
    if (m_onAnswer)
        std::exchange(m_onAnswer, {})(&*m_response);
    resume();
}

void HttpExchange::receiveBody(qint64 limit, std::function<void(const char*, qsizetype)> sink,
                               std::function<void()> complete)
{
    m_bodyLimit = limit;
    m_sink = std::move(sink);
    m_complete = std::move(complete);
    if (m_request.contentLength > limit)
        respond(HttpResponse::error(413, QStringLiteral("too-large"),
                                    QStringLiteral("The body is %1 bytes; at most %2 are taken.")
                                        .arg(m_request.contentLength)
                                        .arg(limit)));
}

void HttpExchange::feed(const char* data, qsizetype size)
{
    m_bodyReceived += size;
    if (m_bodyReceived > m_bodyLimit || !m_sink) {
        respond(HttpResponse::error(
            413, QStringLiteral("too-large"),
            QStringLiteral("The body is larger than the %1 bytes taken.").arg(m_bodyLimit)));
        return;
    }
    m_sink(data, size);
}

void HttpExchange::startEventStream(qsizetype maxQueued)
{
    if (m_response || m_stream)
        return;
    m_stream = true;
    m_maxQueued = maxQueued;
    resume();
}

bool HttpExchange::push(const QByteArray& data)
{
    if (!m_stream || m_dropped || m_streamEnded)
        return false;
    if (m_queue.size() - m_queueOffset + data.size() > m_maxQueued) {
        // Too far behind: nothing more is kept for it, and the connection closes.
        m_dropped = true;
        m_queue.clear();
        m_queueOffset = 0;
        resume();
        if (m_queued && !m_suspended)
            MHD_set_connection_option(m_connection, MHD_CONNECTION_OPTION_TIMEOUT, 1u);
        return false;
    }
    if (m_queueOffset > 0 && m_queueOffset >= m_queue.size() / 2) {
        m_queue.remove(0, m_queueOffset);
        m_queueOffset = 0;
    }
    m_queue += data;
    resume();
    return true;
}

void HttpExchange::endStream()
{
    m_streamEnded = true;
    resume();
}

void HttpExchange::resume()
{
    if (!m_suspended)
        return;
    m_suspended = false;
    MHD_resume_connection(m_connection);
    m_server.wake();
}

long HttpExchange::streamRead(char* buffer, size_t max)
{
    if (m_dropped)
        return MHD_CONTENT_READER_END_WITH_ERROR;
    const qsizetype available = m_queue.size() - m_queueOffset;
    if (available == 0) {
        if (m_streamEnded)
            return MHD_CONTENT_READER_END_OF_STREAM;
        MHD_suspend_connection(m_connection);
        m_suspended = true;
        return 0;
    }
    const qsizetype n = std::min<qsizetype>(available, qsizetype(max));
    std::memcpy(buffer, m_queue.constData() + m_queueOffset, size_t(n));
    m_queueOffset += n;
    if (m_queueOffset == m_queue.size()) {
        m_queue.clear();
        m_queueOffset = 0;
    }
    return long(n);
}

// ---- HttpServer --------------------------------------------------------------------------------

HttpServer::HttpServer(Handler handler, QObject* parent) : QObject(parent), m_handler(std::move(handler))
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &HttpServer::run);
    m_wake.setSingleShot(true);
    m_wake.setInterval(0);
    connect(&m_wake, &QTimer::timeout, this, &HttpServer::run);
}

HttpServer::~HttpServer()
{
    close();
}

QList<std::pair<QByteArray, QByteArray>> HttpServer::securityHeaders()
{
    return {
        {QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff")},
        {QByteArrayLiteral("Content-Security-Policy"),
         QByteArrayLiteral(
             "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'")},
        {QByteArrayLiteral("Referrer-Policy"), QByteArrayLiteral("no-referrer")},
        {QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store")},
    };
}

bool HttpServer::listen(const QHostAddress& address, quint16 port, const HttpServerLimits& limits,
                        const QByteArray& tlsCertificate, const QByteArray& tlsKey, QString* error)
{
    sockaddr_storage storage{};
    unsigned int flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, 16);
        flags |= MHD_USE_IPv6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
    }
    std::vector<MHD_OptionItem> options{
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&logToStderr), nullptr},
        {MHD_OPTION_SOCK_ADDR, 0, &storage},
        {MHD_OPTION_CONNECTION_LIMIT, intptr_t(limits.connections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, intptr_t(limits.connectionsPerClient), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, intptr_t(limits.idleTimeoutSeconds), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t(limits.connectionMemory), nullptr},
        {MHD_OPTION_STRICT_FOR_CLIENT, 1, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpServerCallbacks::completed), this},
    };
    if (!tlsCertificate.isEmpty()) {
        flags |= MHD_USE_TLS;
        m_tlsCertificate = tlsCertificate + '\0';
        m_tlsKey = tlsKey + '\0';
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, m_tlsCertificate.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, m_tlsKey.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});

    m_daemon = MHD_start_daemon(flags, port, nullptr, nullptr, &HttpServerCallbacks::access, this,
                                MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (!m_daemon) {
        *error = QStringLiteral("cannot listen on %1 port %2 (in use, not this machine's address, or a bad "
                                "certificate or key)")
                     .arg(address.toString())
                     .arg(port);
        return false;
    }
    const MHD_DaemonInfo* bound = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = bound ? bound->port : port;
    const MHD_DaemonInfo* epoll = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_EPOLL_FD);
    m_notifier = new QSocketNotifier(epoll->epoll_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &HttpServer::run);
    armTimer();
    return true;
}

void HttpServer::close()
{
    if (!m_daemon)
        return;
    for (HttpExchange* exchange : m_exchanges) {
        if (exchange->m_stream)
            exchange->m_streamEnded = true;
        else if (!exchange->m_response)
            exchange->m_response = HttpResponse::error(503, QStringLiteral("shutting-down"),
                                                       QStringLiteral("The station is stopping."));
        if (exchange->m_suspended) {
            exchange->m_suspended = false;
            MHD_resume_connection(exchange->m_connection);
        }
    }
    delete m_notifier;
    m_notifier = nullptr;
    m_timeout.stop();
    m_wake.stop();
    MHD_stop_daemon(m_daemon); // calls onCompleted for every connection left
    m_daemon = nullptr;
}

int HttpServer::openStreams() const
{
    return int(std::count_if(m_exchanges.cbegin(), m_exchanges.cend(),
                             [](const HttpExchange* exchange) { return exchange->m_stream; }));
}

void HttpServer::run()
{
    if (!m_daemon)
        return;
    MHD_run(m_daemon);
    armTimer();
}

void HttpServer::wake()
{
    if (m_daemon && !m_wake.isActive())
        m_wake.start();
}

void HttpServer::armTimer()
{
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(m_daemon, &ms) == MHD_YES)
        m_timeout.start(int(std::min<MHD_UNSIGNED_LONG_LONG>(ms, std::numeric_limits<int>::max())));
    else
        m_timeout.stop();
}

MHD_Result HttpServerCallbacks::access(void* cls, MHD_Connection* connection, const char* url,
                                       const char* method, const char*, const char* uploadData,
                                       size_t* uploadDataSize, void** state)
{
    auto* server = static_cast<HttpServer*>(cls);
    auto* exchange = static_cast<HttpExchange*>(*state);
    if (!exchange) {
        exchange = new HttpExchange(*server, connection, readRequest(connection, url, method));
        *state = exchange;
        server->m_exchanges.insert(exchange);
        server->m_handler(*exchange);
        // A body refused from its headers is never read (the connection closes after the answer).
        // Anything else is answered once the request is complete, so the connection can stay open.
        if (exchange->m_response && exchange->m_request.hasBody())
            return toResult(server->queue(*exchange));
        return MHD_YES;
    }
    if (*uploadDataSize > 0) {
        if (!exchange->m_response)
            exchange->feed(uploadData, qsizetype(*uploadDataSize));
        *uploadDataSize = 0;
        // Refused part-way: the answer goes out now and the rest of the body is never read.
        return exchange->m_response ? toResult(server->queue(*exchange)) : MHD_YES;
    }
    if (!exchange->m_bodyComplete) {
        exchange->m_bodyComplete = true;
        if (!exchange->m_response && exchange->m_complete)
            exchange->m_complete();
    }
    return toResult(server->proceed(*exchange));
}

int HttpServer::proceed(HttpExchange& exchange)
{
    if (exchange.m_response || exchange.m_stream)
        return queue(exchange);
    // The handler answers later; the connection waits without being polled.
    MHD_suspend_connection(exchange.m_connection);
    exchange.m_suspended = true;
    return MHD_YES;
}

int HttpServer::queue(HttpExchange& exchange)
{
    if (exchange.m_queued)
        return MHD_YES;
    exchange.m_queued = true;
    MHD_Response* response = nullptr;
    int status = 200;
    if (exchange.m_stream) {
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024,
                                                     &HttpServerCallbacks::streamRead, &exchange, nullptr);
        MHD_add_response_header(response, "Content-Type", "text/event-stream");
    } else {
        const HttpResponse& r = *exchange.m_response;
        status = r.status;
        response = MHD_create_response_from_buffer(
            size_t(r.body.size()), const_cast<char*>(r.body.constData()), MHD_RESPMEM_MUST_COPY);
        if (!r.contentType.isEmpty())
            MHD_add_response_header(response, "Content-Type", r.contentType.constData());
        for (const auto& [name, value] : r.headers)
            MHD_add_response_header(response, name.constData(), value.constData());
    }
    for (const auto& [name, value] : securityHeaders())
        MHD_add_response_header(response, name.constData(), value.constData());
    const MHD_Result queued = MHD_queue_response(exchange.m_connection, unsigned(status), response);
    MHD_destroy_response(response);
    if (queued == MHD_NO && !exchange.m_bodyComplete && exchange.m_response)
        refuseMidBody(exchange);
    if (queued == MHD_YES || exchange.m_response)
        emit answered(status);
    return queued;
}

// libmicrohttpd 0.9.75 takes an answer only before the body or after all of it. A body refused
// part-way (a chunked upload past the limit) must not be read to its end, so the connection closes
// at once; on plain HTTP the answer is written ahead of that on the socket, which carries nothing
// else at this point (the request is still being read). Over TLS the client sees the close alone.
void HttpServer::refuseMidBody(HttpExchange& exchange)
{
    const MHD_ConnectionInfo* tls =
        MHD_get_connection_info(exchange.m_connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    const MHD_ConnectionInfo* fd =
        MHD_get_connection_info(exchange.m_connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if ((tls && tls->tls_session) || !fd)
        return;
    const HttpResponse& r = *exchange.m_response;
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(r.status) + " Refused\r\nConnection: close\r\n";
    bytes += "Content-Type: " + r.contentType + "\r\nContent-Length: " + QByteArray::number(r.body.size()) +
             "\r\n";
    for (const auto& [name, value] : securityHeaders())
        bytes += name + ": " + value + "\r\n";
    bytes += "\r\n" + r.body;
    [[maybe_unused]] const ssize_t written =
        ::send(fd->connect_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    ::shutdown(fd->connect_fd, SHUT_WR);
}

ssize_t HttpServerCallbacks::streamRead(void* cls, uint64_t, char* buffer, size_t max)
{
    return static_cast<HttpExchange*>(cls)->streamRead(buffer, max);
}

void HttpServerCallbacks::completed(void* cls, MHD_Connection*, void** state, MHD_RequestTerminationCode)
{
    auto* server = static_cast<HttpServer*>(cls);
    auto* exchange = static_cast<HttpExchange*>(*state);
    if (!exchange)
        return;
    *state = nullptr;
    server->m_exchanges.erase(exchange);
    delete exchange;
}
