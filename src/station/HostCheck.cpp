#include "station/HostCheck.h"

#include <QHostInfo>

#include <netdb.h>
#include <sys/socket.h>

namespace {

QString canonicalName(const QString& host)
{
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    QString name;
    if (::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &result) == 0 && result) {
        if (result->ai_canonname)
            name = QString::fromUtf8(result->ai_canonname);
        ::freeaddrinfo(result);
    }
    return name;
}

} // namespace

HostCheck::HostCheck(const QString& listenHost, const QHostAddress& address, quint16 port,
                     const QStringList& serverNames)
    : m_port(QString::number(port))
{
    add(listenHost);
    add(address.toString());
    if (address.isLoopback()) {
        add(QStringLiteral("localhost"));
        add(QStringLiteral("127.0.0.1"));
        add(QStringLiteral("::1"));
    }
    const QString hostName = QHostInfo::localHostName();
    add(hostName);
    add(canonicalName(hostName));
    for (const QString& name : serverNames)
        add(name);
}

void HostCheck::add(const QString& name)
{
    QString n = name.trimmed().toLower();
    if (n.isEmpty())
        return;
    if (n.startsWith(u'[') && n.endsWith(u']'))
        n = n.mid(1, n.size() - 2);
    if (n.endsWith(u'.'))
        n.chop(1);
    const QHostAddress literal(n);
    if (literal.protocol() == QAbstractSocket::IPv6Protocol)
        n = u'[' + literal.toString().toLower() + u']';
    m_names.insert(n);
}

QStringList HostCheck::names() const
{
    QStringList list(m_names.cbegin(), m_names.cend());
    list.sort();
    return list;
}

bool HostCheck::allows(const QByteArray& hostHeader) const
{
    QString host = QString::fromLatin1(hostHeader).trimmed().toLower();
    if (host.isEmpty())
        return false;
    // Split off the port: after the closing bracket of an IPv6 literal, else after the only colon.
    QString port;
    if (host.startsWith(u'[')) {
        const qsizetype close = host.indexOf(u']');
        if (close < 0)
            return false;
        if (close + 1 < host.size()) {
            if (host.at(close + 1) != u':')
                return false;
            port = host.mid(close + 2);
        }
        const QHostAddress literal(host.mid(1, close - 1));
        if (literal.protocol() != QAbstractSocket::IPv6Protocol)
            return false;
        host = u'[' + literal.toString().toLower() + u']';
    } else {
        const qsizetype colon = host.indexOf(u':');
        if (colon >= 0) {
            port = host.mid(colon + 1);
            host.truncate(colon);
        }
        if (host.endsWith(u'.'))
            host.chop(1);
    }
    if (!port.isEmpty() && port != m_port)
        return false;
    return m_names.contains(host);
}
