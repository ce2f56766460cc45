#pragma once

#include <QString>
#include <QStringList>

// The texts the window shows about the connection to the unit: the status line for each socket
// state, and the log lines for a socket error.
namespace ConnectionStatus {

// The status line for socket state 0-9 (see Ethernet); any other value gives "Unknown state".
QString statusLine(int state, const QString& remoteHost);

// The lines logged for a socket error, in order: the error number, the description, and for a
// refused connection the port hint, plus the 'TCP Server' hint when the product needs it.
QStringList errorLines(int number, const QString& description, bool showsTcpServerHint);

} // namespace ConnectionStatus
