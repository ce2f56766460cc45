#include "platform/Ethernet.h"

#include "platform/SocketErrorNumbers.h"

#include <QTcpSocket>

#include <algorithm>
#include <utility>

Ethernet::Ethernet(QObject* parent) : QObject(parent), m_socket(new QTcpSocket(this))
{
    m_socket->setReadBufferSize(ReadBufferSize);
    // Straight from the socket's notification: one event-loop pass fewer per reply than readyRead.
    connect(m_socket, &QTcpSocket::channelReadyRead, this, &Ethernet::onReadyRead);
    connect(m_socket, &QTcpSocket::stateChanged, this, &Ethernet::notifyState);
    connect(m_socket, &QTcpSocket::connected, this, &Ethernet::connected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &Ethernet::onErrorOccurred);
    connect(m_socket, &QTcpSocket::disconnected, this, &Ethernet::onDisconnected);
}

Ethernet::~Ethernet()
{
    m_socket->disconnect(this);
    m_socket->abort();
}

void Ethernet::setRemotePort(int port)
{
    m_remotePort = port;
}

void Ethernet::setRemoteHost(const QString& host)
{
    m_remoteHost = host;
}

void Ethernet::connectToUnit()
{
    if (state() != Closed)
        close();
    ++m_generation;
    m_socket->connectToHost(m_remoteHost, quint16(m_remotePort));
}

int Ethernet::state() const
{
    if (m_latchedError)
        return Error;
    if (m_peerClosed)
        return PeerClosing;
    switch (m_socket->state()) {
    case QAbstractSocket::UnconnectedState:
        return Closed;
    case QAbstractSocket::HostLookupState:
        return ResolvingHost;
    case QAbstractSocket::ConnectingState:
        return Connecting;
    case QAbstractSocket::ConnectedState:
        return Connected;
    case QAbstractSocket::BoundState:
        return Open;
    case QAbstractSocket::ListeningState:
        return Listening;
    case QAbstractSocket::ClosingState:
        return PeerClosing;
    }
    return Error;
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
    ++m_generation; // events still queued for the old connection are dropped
    m_closing = true;
    m_socket->abort();
    m_closing = false;
    m_received.clear();
    m_latchedError = false;
    m_peerClosed = false;
    notifyState();
}

void Ethernet::notifyState()
{
    const int now = state();
    if (now == m_notifiedState)
        return;
    m_notifiedState = now;
    emit stateChanged(now);
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
    m_latchedError = true;
    notifyState();
    const int number = SocketErrorNumbers::fromQt(code, description);
    QMetaObject::invokeMethod(
        this,
        [this, number, description, generation = m_generation] {
            if (generation == m_generation)
                emit error(number, description);
        },
        Qt::QueuedConnection);
}

void Ethernet::onDisconnected()
{
    if (m_closing || m_peerClosed || m_latchedError)
        return;
    readPending();
    m_peerClosed = true;
    notifyState();
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation] {
            if (generation == m_generation)
                emit peerClosed();
        },
        Qt::QueuedConnection);
}
