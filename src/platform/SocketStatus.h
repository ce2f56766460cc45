#pragma once

#include <QAbstractSocket>
#include <QMetaType>

// Where the connection to a unit stands: Qt's own state, plus what Qt forgets once it has closed
// the socket itself: that an error ended the attempt or the connection, or that the unit closed
// it. Both are held until the connection is closed on our side.
struct SocketStatus
{
    QAbstractSocket::SocketState state = QAbstractSocket::UnconnectedState;
    bool failed = false;
    bool peerClosed = false;

    bool isConnected() const { return state == QAbstractSocket::ConnectedState && !failed && !peerClosed; }
    bool isClosed() const { return state == QAbstractSocket::UnconnectedState && !failed && !peerClosed; }
    bool operator==(const SocketStatus&) const = default;
};

Q_DECLARE_METATYPE(SocketStatus)
