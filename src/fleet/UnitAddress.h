#pragma once

#include <QString>

// One unit to update: a host name or IP address and a TCP port.
struct UnitAddress
{
    QString host;
    quint16 port = 0;

    // "host:port", IPv6 addresses in brackets: how the unit is named in every line of output.
    QString label() const;

    // HOST[:PORT], [IPV6][:PORT] or a bare IPV6 address, which always takes the default port (text
    // with several ':' and no brackets is a whole IPv6 address or nothing). defaultPort is empty
    // when the product has none: then the text must name the port. Returns false and a reason
    // (without the text itself) when the text names no unit.
    static bool parse(const QString& text, const QString& defaultPort, UnitAddress* unit, QString* error);
};
