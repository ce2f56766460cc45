#include "cli/UnitAddress.h"

namespace {

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
    QString host = text.trimmed();
    QString port;
    if (host.startsWith(u'[')) {
        const qsizetype close = host.indexOf(u']');
        if (close < 0) {
            *error = QStringLiteral("no closing ']' after the IPv6 address");
            return false;
        }
        const QString rest = host.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(u':')) {
            *error = QStringLiteral("expected ':PORT' after ']'");
            return false;
        }
        port = rest.mid(1);
        if (rest == QLatin1String(":")) {
            *error = QStringLiteral("no port after ':'");
            return false;
        }
        host = host.mid(1, close - 1);
    } else if (host.count(u':') == 1) {
        port = host.section(u':', 1);
        host = host.section(u':', 0, 0);
        if (port.isEmpty()) {
            *error = QStringLiteral("no port after ':'");
            return false;
        }
    }
    if (host.isEmpty()) {
        *error = QStringLiteral("no host name or address");
        return false;
    }
    for (QChar c : host) {
        if (c.isSpace() || c.category() == QChar::Other_Control) {
            *error = QStringLiteral("a host name has no spaces or control characters");
            return false;
        }
    }
    if (port.isEmpty()) {
        if (defaultPort.isEmpty()) {
            *error = QStringLiteral("no port given, and this product has no default port");
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
