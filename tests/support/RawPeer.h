#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// A peer that answers each message it receives with whatever the test says, and can speak first.
class RawPeer : public QObject
{
public:
    std::function<QByteArray(int message, const QByteArray& bytes)> answer;
    QByteArray greeting; // written as soon as a connection is accepted
    QList<QByteArray> received;
    QTcpSocket* socket = nullptr;

    RawPeer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            socket = server.nextPendingConnection();
            if (!greeting.isEmpty())
                socket->write(greeting);
            connect(socket, &QTcpSocket::readyRead, this, [this] {
                const QByteArray bytes = socket->readAll();
                received << bytes;
                if (answer)
                    socket->write(answer(int(received.size()) - 1, bytes));
            });
        });
    }
    quint16 port() const { return server.serverPort(); }

private:
    QTcpServer server;
};
