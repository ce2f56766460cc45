#include "ui/ConnectionStatus.h"

#include "ui/SocketErrorNumbers.h"

namespace ConnectionStatus {

int stateNumber(const SocketStatus& status)
{
    if (status.failed)
        return 9;
    if (status.peerClosed)
        return 8;
    switch (status.state) {
    case QAbstractSocket::UnconnectedState:
        return 0;
    case QAbstractSocket::BoundState:
        return 1;
    case QAbstractSocket::ListeningState:
        return 2;
    case QAbstractSocket::HostLookupState:
        return 4;
    case QAbstractSocket::ConnectingState:
        return 6;
    case QAbstractSocket::ConnectedState:
        return 7;
    case QAbstractSocket::ClosingState:
        return 8;
    }
    return 9;
}

QString statusLine(int state, const QString& remoteHost)
{
    switch (state) {
    case 0:
        return QStringLiteral("Not connected");
    case 1:
        return QStringLiteral("Open");
    case 2:
        return QStringLiteral("Listening");
    case 3:
        return QStringLiteral("Connection pending");
    case 4:
        return QStringLiteral("Resolving ") + remoteHost;
    case 5:
        return QStringLiteral("Resolved ") + remoteHost;
    case 6:
        return QStringLiteral("Connecting to ") + remoteHost;
    case 7:
        return QStringLiteral("Connected to ") + remoteHost;
    case 8:
        return remoteHost + QStringLiteral(" is closing the connection");
    case 9:
        return QStringLiteral("Error");
    default:
        return QStringLiteral("Unknown state");
    }
}

QStringList errorLines(QAbstractSocket::SocketError error, const QString& description,
                       bool showsTcpServerHint)
{
    const int number = SocketErrorNumbers::fromQt(error, description);
    // A negative number's minus sign takes the place of the blank.
    QStringList lines{QStringLiteral("Ethernet Error") + (number < 0 ? QString() : QStringLiteral(" ")) +
                          QString::number(number),
                      description};
    if (number == SocketErrorNumbers::ConnectionRefused) {
        lines << QStringLiteral("Hint: Found device but port was not availaible. Verify port number.");
        if (showsTcpServerHint)
            lines << QStringLiteral("Hint: Verify Ethernet Interface is configured as 'TCP Server'.");
    }
    return lines;
}

} // namespace ConnectionStatus
