#include "fleet/UnitProbe.h"

UnitProbe::UnitProbe(QObject* parent) : QObject(parent), m_socket(this), m_timeout(this)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] { end(false); });
    connect(&m_socket, &QTcpSocket::connected, this, [this] { end(true); });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (m_running && m_socket.state() != QAbstractSocket::ConnectedState)
            end(false);
    });
    // Whatever the unit says is never read: the socket's buffer stays small and nothing is kept.
    m_socket.setReadBufferSize(1);
}

void UnitProbe::probe(const UnitAddress& address, int timeoutMs)
{
    cancel();
    m_running = true;
    m_timeout.start(timeoutMs);
    m_socket.connectToHost(address.host, address.port);
}

void UnitProbe::cancel()
{
    m_running = false;
    m_timeout.stop();
    m_socket.abort();
}

void UnitProbe::end(bool answered)
{
    if (!m_running)
        return;
    // Closed at once, before finished(): the unit is free for the update that may follow.
    cancel();
    emit finished(answered);
}
