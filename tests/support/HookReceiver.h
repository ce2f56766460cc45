#pragma once

#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

// A webhook receiver on 127.0.0.1, port 0: every request it gets, each answered with the `status`
// of the moment and the connection closed.
class HookReceiver
{
public:
    struct Request
    {
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        int answered = 0;
        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };

    int status = 200;
    QList<Request> requests;

    HookReceiver()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                serve(socket);
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/hook").arg(m_server.serverPort()); }
    // The requests answered 2xx, in order.
    QList<Request> delivered() const
    {
        QList<Request> ok;
        for (const Request& request : requests)
            if (request.answered / 100 == 2)
                ok << request;
        return ok;
    }

private:
    void serve(QTcpSocket* socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            Request request;
            for (const QByteArray& line : buffer->left(end).split('\n').mid(1))
                if (const qsizetype colon = line.indexOf(':'); colon > 0)
                    request.headers.insert(line.left(colon).trimmed().toLower(),
                                           line.mid(colon + 1).trimmed());
            const qsizetype length = request.headers.value("content-length").toLongLong();
            if (buffer->size() < end + 4 + length)
                return;
            request.body = buffer->mid(end + 4, length);
            request.answered = status;
            requests << request;
            socket->write("HTTP/1.1 " + QByteArray::number(status) +
                          " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        });
    }

    QTcpServer m_server;
};
