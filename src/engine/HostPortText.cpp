#include "engine/HostPortText.h"

bool HostPortText::split(const QString& text, HostPortText* out, QString* error)
{
    HostPortText result;
    QString host = text.trimmed();
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
        if (rest == QLatin1String(":")) {
            *error = QStringLiteral("no port after ':'");
            return false;
        }
        result.port = rest.mid(1);
        result.host = host.mid(1, close - 1);
        result.bracketed = true;
    } else if (host.count(u':') == 1) {
        result.port = host.section(u':', 1);
        result.host = host.section(u':', 0, 0);
        if (result.port.isEmpty()) {
            *error = QStringLiteral("no port after ':'");
            return false;
        }
    } else {
        result.host = host;
    }
    *out = result;
    return true;
}
