#include "platform/Ethernet.h"

#include <QTcpSocket>

#include <algorithm>
#include <utility>

Ethernet::Ethernet(QObject* parent) : QObject(parent), m_socket(new QTcpSocket(this))
{
    m_socket->setReadBufferSize(ReadBufferSize);
    // Straight from the socket's notification: one event-loop pass fewer per reply than readyRead.
    connect(m_socket, &QTcpSocket::channelReadyRead, this, &Ethernet::onReadyRead);
    connect(m_socket, &QTcpSocket::stateChanged, this, &Ethernet::notifyStatus);
    connect(m_socket, &QTcpSocket::connected, this, &Ethernet::connected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &Ethernet::onErrorOccurred);
    connect(m_socket, &QTcpSocket::disconnected, this, &Ethernet::onDisconnected);
}

Ethernet::~Ethernet()
{
    m_socket->disconnect(this);
    m_socket->abort();
}

void Ethernet::connectToUnit(const QString& host, quint16 port)
{
    if (!status().isClosed())
        close();
    ++m_generation;
    m_remoteHost = host;
    m_socket->connectToHost(host, port);
}

SocketStatus Ethernet::status() const
{
    return {m_socket->state(), m_failed, m_peerClosed};
}

bool Ethernet::sendData(const QByteArray& bytes)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    if (m_socket->write(bytes) != bytes.size())
        return false;
    // Hand the bytes to the system now rather than at the next event-loop pass: the unit's reply,
    // and with it the next record, waits on them.
    m_socket->flush();
    return true;
}

QByteArray Ethernet::getData()
{
    readPending();
    QByteArray data = std::exchange(m_received, QByteArray());
    if (m_socket->bytesAvailable() > 0) {
        // The socket announced these bytes already; announce them again for the next read.
        QMetaObject::invokeMethod(
            this,
            [this, generation = m_generation] {
                if (generation == m_generation)
                    onReadyRead();
            },
            Qt::QueuedConnection);
    }
    return data;
}

void Ethernet::close()
{
    ++m_generation;
    m_closing = true;
    m_socket->abort();
    m_closing = false;
    m_received.clear();
    m_failed = false;
    m_peerClosed = false;
    notifyStatus();
}

void Ethernet::notifyStatus()
{
    const SocketStatus now = status();
    if (now == m_notified)
        return;
    m_notified = now;
    emit statusChanged(now);
}

void Ethernet::readPending()
{
    const qint64 room = ReadBufferSize - m_received.size();
    const qint64 available = m_socket->bytesAvailable();
    if (room > 0 && available > 0)
        m_received.append(m_socket->read(std::min(room, available)));
}

void Ethernet::onReadyRead()
{
    readPending();
    if (!m_received.isEmpty())
        emit dataArrival(m_received.size());
}

void Ethernet::onErrorOccurred()
{
    const QAbstractSocket::SocketError code = m_socket->error();
    if (code == QAbstractSocket::RemoteHostClosedError) {
        onDisconnected();
        return;
    }
    const QString description = m_socket->errorString();
    m_failed = true;
    notifyStatus();
    QMetaObject::invokeMethod(
        this,
        [this, code, description, generation = m_generation] {
            if (generation == m_generation)
                emit error(code, description);
        },
        Qt::QueuedConnection);
}

void Ethernet::onDisconnected()
{
    if (m_closing || m_peerClosed || m_failed)
        return;
    readPending();
    m_peerClosed = true;
    notifyStatus();
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation] {
            if (generation == m_generation)
                emit peerClosed();
        },
        Qt::QueuedConnection);
}
