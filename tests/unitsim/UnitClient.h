#pragma once

// The tool's side of the connection, for tests: a plain socket on 127.0.0.1 that waits by
// spinning the event loop, so a SimulatedUnit in the same thread keeps running.

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

class UnitClient
{
public:
    explicit UnitClient(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        connected = socket.waitForConnected(2000);
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    }

    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    // Waits until `n` bytes are there and takes them (fewer on timeout).
    QByteArray read(qsizetype n, int timeoutMs = 3000)
    {
        QElapsedTimer clock;
        clock.start();
        while (socket.bytesAvailable() < n && clock.elapsed() < timeoutMs) {
            QSignalSpy spy(&socket, &QTcpSocket::readyRead);
            spy.wait(int(timeoutMs - clock.elapsed()) + 1);
        }
        return socket.read(n);
    }

    QByteArray exchange(const QByteArray& message, qsizetype replySize = 8)
    {
        send(message);
        return read(replySize);
    }

    // Whatever arrives within `ms`.
    QByteArray quietFor(int ms)
    {
        QTest::qWait(ms);
        return socket.readAll();
    }

    QTcpSocket socket;
    bool connected = false;
};
