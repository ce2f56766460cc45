#pragma once

#include "platform/SocketStatus.h"

#include <QAbstractSocket>
#include <QString>
#include <QStringList>

// What the window shows about the connection to the unit, in the numbering and words operators
// and the unit's documentation know from the old socket control:
//   0 closed, 1 open, 2 listening, 3 connection pending, 4 resolving the host name,
//   5 host name resolved, 6 connecting, 7 connected, 8 the peer is closing the connection, 9 error.
namespace ConnectionStatus {

constexpr int Closed = 0;
constexpr int Connected = 7;

// The state number (0-9) for a socket status.
int stateNumber(const SocketStatus& status);

// The status line for state number 0-9; any other value gives "Unknown state".
QString statusLine(int state, const QString& remoteHost);

// The lines logged for a socket error, in order: "Ethernet Error" with its Windows Sockets number,
// the description, and for a refused connection the port hint, plus the 'TCP Server' hint when
// the product needs it.
QStringList errorLines(QAbstractSocket::SocketError error, const QString& description,
                       bool showsTcpServerHint);

} // namespace ConnectionStatus
