#pragma once

#include "station/HttpExchange.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <functional>
#include <set>

struct MHD_Daemon;
class QSocketNotifier;

struct HttpServerLimits
{
    int connections = 256;         // in all
    int connectionsPerClient = 32; // per client address
    int idleTimeoutSeconds = 30;   // a connection that sends and takes nothing for this long closes
    // Per connection, for the request line, the headers and the reply's buffer: larger headers
    // are refused (431) before anything else happens.
    qint64 connectionMemory = 32 * 1024;
};

// HTTP (and HTTPS) on libmicrohttpd, driven from the Qt event loop: the daemon runs without a
// thread of its own, its epoll descriptor is watched by a QSocketNotifier and its time-outs by a
// QTimer, so every handler runs on the thread of the engine's jobs. A connection that waits for
// an answer or for stream data is suspended and costs no event-loop time.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(HttpExchange&)>;

    explicit HttpServer(Handler handler, QObject* parent = nullptr);
    ~HttpServer() override;

    // TLS when both PEM texts are given.
    bool listen(const QHostAddress& address, quint16 port, const HttpServerLimits& limits,
                const QByteArray& tlsCertificate, const QByteArray& tlsKey, QString* error);
    quint16 port() const { return m_port; }
    // Every connection closed: waiting exchanges get 503, streams end.
    void close();
    // Event streams whose connection is still open.
    int openStreams() const;

    // Headers every response carries.
    static QList<std::pair<QByteArray, QByteArray>> securityHeaders();

signals:
    // An answer went out with that status (200 for an event stream).
    void answered(int status);

private:
    friend class HttpExchange;
    friend struct HttpServerCallbacks;

    int proceed(HttpExchange& exchange);
    int queue(HttpExchange& exchange);
    void refuseMidBody(HttpExchange& exchange);
    void run();
    void armTimer();
    void wake();

    Handler m_handler;
    MHD_Daemon* m_daemon = nullptr;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_timeout;
    QTimer m_wake;
    quint16 m_port = 0;
    std::set<HttpExchange*> m_exchanges;
    QByteArray m_tlsCertificate;
    QByteArray m_tlsKey;
};
