#include "ui/SocketErrorNumbers.h"

namespace SocketErrorNumbers {

int fromQt(QAbstractSocket::SocketError error, const QString& description)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return ConnectionRefused;
    case QAbstractSocket::HostNotFoundError:
        return HostNotFound;
    case QAbstractSocket::SocketTimeoutError:
        return TimedOut;
    case QAbstractSocket::RemoteHostClosedError:
        return ConnectionReset;
    case QAbstractSocket::NetworkError:
        // Qt folds several conditions into NetworkError; its text tells them apart.
        if (description.contains(QLatin1String("Host unreachable"), Qt::CaseInsensitive))
            return HostUnreachable;
        if (description.contains(QLatin1String("Network unreachable"), Qt::CaseInsensitive))
            return NetworkUnreachable;
        return 10050; // network is down
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::DatagramTooLargeError:
        return 10040;
    case QAbstractSocket::AddressInUseError:
        return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError:
    case QAbstractSocket::OperationError:
        return 10045;
    case QAbstractSocket::UnfinishedSocketOperationError:
        return 10036;
    case QAbstractSocket::TemporaryError:
        return 10035;
    default:
        return -1; // no Windows Sockets counterpart; the description says what it was
    }
}

} // namespace SocketErrorNumbers
