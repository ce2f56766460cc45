#pragma once

#include "TestProcess.h"
#include "WaitUntil.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

// One HTTP answer as the test saw it.
struct HttpAnswer
{
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // names in lower case

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QString error() const { return json().value(QStringLiteral("error")).toString(); }
};

// uploader-station's test build as a process on 127.0.0.1 with a free port and its own state
// folder, while the test's event loop serves the simulated units.
class StationProcess : public TestProcess
{
public:
    QTemporaryDir stateDir;
    QString url; // http://127.0.0.1:PORT
    quint16 port = 0;
    QByteArray token;

    StationProcess() : TestProcess(QStringLiteral(UPLOADER_STATION_TEST)) {}

    // Starts it and waits for the address it prints; false when it does not come up. The history
    // goes into the state folder unless `extra` names one: never the user's own.
    bool start(const QStringList& extra = {})
    {
        m_extra = extra;
        QStringList arguments{QStringLiteral("--listen"),     QStringLiteral("127.0.0.1:0"),
                              QStringLiteral("--state-dir"),  stateDir.path(),
                              QStringLiteral("--time-scale"), QStringLiteral("0.02")};
        if (!extra.contains(QStringLiteral("--history")))
            arguments << QStringLiteral("--history") << stateDir.filePath(QStringLiteral("history.sqlite"));
        process.setArguments(arguments + extra);
        process.start();
        if (!process.waitForStarted(5000))
            return false;
        if (!waitUntil([this] { return out.contains('\n') || process.state() == QProcess::NotRunning; },
                       10000))
            return false;
        url = QString::fromUtf8(out.left(out.indexOf('\n')));
        port = quint16(QUrl(url).port());
        QFile file(stateDir.filePath(QStringLiteral("token")));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        token = file.readAll().trimmed();
        return port != 0;
    }
    // SIGTERM, and its end; false when it does not end cleanly.
    bool stop()
    {
        process.terminate();
        return waitForExit(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    // The same station again, with the state it left, after it ended.
    bool restart()
    {
        out.clear();
        err.clear();
        return start(m_extra);
    }
    // `uploader-station token ARGUMENTS` on this station's state folder: its exit code, and what
    // it printed.
    int tokenCommand(const QStringList& arguments, QByteArray* printed = nullptr)
    {
        QProcess command;
        command.start(process.program(), QStringList{QStringLiteral("token")} + arguments +
                                             QStringList{QStringLiteral("--state-dir"), stateDir.path()});
        if (!command.waitForFinished(10000))
            return -1;
        if (printed)
            *printed = command.readAllStandardOutput().trimmed();
        return command.exitCode();
    }
    // Resident memory in KiB.
    qint64 rssKiB() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
        status.open(QIODevice::ReadOnly);
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        return -1;
    }

    // A request through QNetworkAccessManager; the token goes along unless told otherwise.
    HttpAnswer request(const QByteArray& method, const QString& path, const QByteArray& body = {},
                       bool withToken = true, const QByteArray& contentType = "application/json")
    {
        return requestAs(withToken ? token : QByteArray(), method, path, body, contentType);
    }
    // The same with that token; none when it is empty.
    HttpAnswer requestAs(const QByteArray& bearer, const QByteArray& method, const QString& path,
                         const QByteArray& body = {}, const QByteArray& contentType = "application/json")
    {
        QNetworkRequest request(QUrl(url + path));
        if (!bearer.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + bearer);
        if (!body.isEmpty() || method == "POST")
            request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        std::unique_ptr<QNetworkReply> reply(m_network.sendCustomRequest(request, method, body));
        HttpAnswer answer;
        if (!waitUntil([&] { return reply->isFinished(); }, 30000))
            return answer;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.body = reply->readAll();
        for (const auto& [name, value] : reply->rawHeaderPairs())
            answer.headers.insert(name.toLower(), value);
        return answer;
    }
    HttpAnswer get(const QString& path) { return request("GET", path); }

    // Bytes written as they are on a fresh connection; everything that comes back until the
    // station closes it (or timeoutMs passes).
    QByteArray raw(const QByteArray& bytes, int timeoutMs = 10000)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        QByteArray received;
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] { received += socket.readAll(); });
        if (!waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000))
            return {};
        socket.write(bytes);
        waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
        received += socket.readAll();
        return received;
    }
    // "GET PATH HTTP/1.1" with the station's own Host and Connection: close.
    QByteArray rawGet(const QByteArray& path, const QByteArray& host = {})
    {
        const QByteArray h = host.isEmpty() ? "127.0.0.1:" + QByteArray::number(port) : host;
        return raw("GET " + path + " HTTP/1.1\r\nHost: " + h + "\r\nConnection: close\r\n\r\n");
    }
    static int statusOf(const QByteArray& response)
    {
        const QList<QByteArray> first = response.left(response.indexOf('\r')).split(' ');
        return first.size() >= 2 ? first.at(1).toInt() : 0;
    }

private:
    QNetworkAccessManager m_network;
    QStringList m_extra;
};
