#pragma once

#include "station/HttpMessages.h"

#include <QObject>

#include <functional>
#include <optional>

struct MHD_Connection;
class HttpServer;

// One request and its answer. The handler gets it once the headers are in and answers with
// respond() at once or later (the connection waits, costing no event-loop time), takes the body
// with receiveBody(), or turns it into an event stream. The server deletes it when the connection
// is done with it; whoever works on it later holds a QPointer.
class HttpExchange : public QObject
{
    Q_OBJECT
public:
    ~HttpExchange() override;

    const HttpRequest& request() const { return m_request; }
    // The name and role of the token the request came with, once the station knows them; empty:
    // none.
    const QString& tokenName() const { return m_tokenName; }
    const QString& tokenRole() const { return m_tokenRole; }
    void setToken(const QString& name, const QString& role)
    {
        m_tokenName = name;
        m_tokenRole = role;
    }
    // Called once: with the answer when it is given, or with nullptr when the exchange ends
    // without one (the client went away first).
    void onAnswer(std::function<void(const HttpResponse*)> observer) { m_onAnswer = std::move(observer); }

    // Once; later calls are ignored. A response given before the body was read is sent without
    // reading it, and the connection closes after it.
    void respond(HttpResponse response);
    bool responded() const { return m_response.has_value(); }

    // The body goes to `sink` as it comes. A body over `limit` bytes is refused with 413: from its
    // Content-Length before any of it is read, or the moment a chunked one passes the limit. The
    // sink may respond() to refuse it. `complete` runs once the whole body has come.
    void receiveBody(qint64 limit, std::function<void(const char*, qsizetype)> sink,
                     std::function<void()> complete);

    // Answers with a text/event-stream whose data comes from push(). A client more than
    // `maxQueued` bytes behind is dropped.
    void startEventStream(qsizetype maxQueued);
    // False once the client has been dropped or the stream ended.
    bool push(const QByteArray& data);
    // Ends the stream after what is queued.
    void endStream();

private:
    friend class HttpServer;
    friend struct HttpServerCallbacks;
    HttpExchange(HttpServer& server, MHD_Connection* connection, HttpRequest request);

    void feed(const char* data, qsizetype size);
    void resume();
    long streamRead(char* buffer, size_t max);

    HttpServer& m_server;
    MHD_Connection* m_connection;
    HttpRequest m_request;
    QString m_tokenName, m_tokenRole;
    std::function<void(const HttpResponse*)> m_onAnswer;
    std::optional<HttpResponse> m_response;
    bool m_queued = false;
    bool m_suspended = false;
    bool m_bodyComplete = false;

    qint64 m_bodyLimit = 0;
    qint64 m_bodyReceived = 0;
    std::function<void(const char*, qsizetype)> m_sink;
    std::function<void()> m_complete;

    bool m_stream = false;
    bool m_streamEnded = false;
    bool m_dropped = false;
    qsizetype m_maxQueued = 0;
    QByteArray m_queue;
    qsizetype m_queueOffset = 0;
};
