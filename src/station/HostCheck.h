#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QSet>
#include <QString>
#include <QStringList>

// The names a request's Host header may give: the listen address as given, on loopback also
// localhost, 127.0.0.1 and [::1], the machine's host name and FQDN, and the --server-name names;
// each bare or with the station's port. Anything else is refused (421), so a page elsewhere that
// rebinds its own name to this machine's address cannot talk to the station.
class HostCheck
{
public:
    HostCheck(const QString& listenHost, const QHostAddress& address, quint16 port,
              const QStringList& serverNames);

    bool allows(const QByteArray& hostHeader) const;
    QStringList names() const;

private:
    void add(const QString& name);

    QSet<QString> m_names; // lower case; IPv6 addresses in brackets
    QString m_port;
};
