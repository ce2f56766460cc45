#include "fleet/UnitAddress.h"

#include "engine/HostPortText.h"

#include "engine/TextFormat.h"

#include <QHostAddress>

#include <algorithm>

namespace {

const QString BracketsHint = QStringLiteral("write an IPv6 address with a port as [ADDRESS]:PORT");

bool isIpv6(const QString& text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

bool parsePort(const QString& text, quint16* port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value < 1 || value > 65535 || text.startsWith(u'+'))
        return false;
    *port = quint16(value);
    return true;
}

} // namespace

QString UnitAddress::label() const
{
    const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
    return shownHost + u':' + QString::number(port);
}

bool UnitAddress::parse(const QString& text, const QString& defaultPort, UnitAddress* unit, QString* error)
{
    HostPortText split;
    if (!HostPortText::split(text, &split, error))
        return false;
    QString host = split.host;
    QString port = split.port;
    if (split.bracketed) {
        if (!host.isEmpty() && !isIpv6(host)) {
            *error = QStringLiteral("brackets hold an IPv6 address only");
            return false;
        }
    } else if (host.contains(u':')) {
        // Without brackets no part of an IPv6 address can be told from a port: the whole text is
        // the address. A zone that holds a ':' (fe80::1%eth0:23) is one such guess.
        if (!isIpv6(host) || host.section(u'%', 1).contains(u':')) {
            *error = QStringLiteral("several ':' but no IPv6 address; ") + BracketsHint;
            return false;
        }
    }
    if (host.isEmpty()) {
        *error = QStringLiteral("no host name or address");
        return false;
    }
    // Names go into every line of output as they are: nothing that a terminal would act on.
    if (TextFormat::escaped(host) != host ||
        std::any_of(host.cbegin(), host.cend(), [](QChar c) { return c.isSpace(); })) {
        *error = QStringLiteral("a host name has no spaces or control characters");
        return false;
    }
    if (port.isEmpty()) {
        if (defaultPort.isEmpty()) {
            *error = QStringLiteral("no port given, and this product has no default port");
            if (host.contains(u':'))
                *error += QStringLiteral("; ") + BracketsHint;
            return false;
        }
        port = defaultPort;
    }
    UnitAddress parsed;
    parsed.host = host;
    if (!parsePort(port, &parsed.port)) {
        *error = QStringLiteral("port \"%1\" is not a whole number from 1 to 65535").arg(port);
        return false;
    }
    *unit = parsed;
    return true;
}
