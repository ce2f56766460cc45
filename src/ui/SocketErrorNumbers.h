#pragma once

#include <QAbstractSocket>

// Windows Sockets error numbers for the socket errors Qt reports; operators and the unit's
// documentation know failures by these numbers (10061: connection refused).
namespace SocketErrorNumbers {

constexpr int ConnectionRefused = 10061;
constexpr int HostNotFound = 11001;
constexpr int TimedOut = 10060;
constexpr int HostUnreachable = 10065;
constexpr int NetworkUnreachable = 10051;
constexpr int ConnectionReset = 10054;

int fromQt(QAbstractSocket::SocketError error, const QString& description);

} // namespace SocketErrorNumbers
