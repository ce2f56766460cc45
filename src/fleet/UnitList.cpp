#include "fleet/UnitList.h"

#include <QFile>
#include <QHostAddress>

namespace {

// The same for every spelling of one address: names in any letter case, IPv6 addresses however
// their zeros are written.
QString identity(const UnitAddress& unit)
{
    QHostAddress address;
    const QString host = address.setAddress(unit.host) ? address.toString() : unit.host.toLower();
    return host + u'/' + QString::number(unit.port);
}

} // namespace

bool UnitList::addArgument(const QString& text, QString* error, const QString& serial)
{
    UnitAddress unit;
    QString reason;
    if (!UnitAddress::parse(text, m_defaultPort, &unit, &reason)) {
        *error = QStringLiteral("--unit \"%1\": %2").arg(text, reason);
        return false;
    }
    add({unit, serial, {}}, QStringLiteral("--unit %1").arg(text));
    return true;
}

bool UnitList::addFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read the unit file %1: %2").arg(path, file.errorString());
        return false;
    }
    int lineNumber = 0;
    while (!file.atEnd()) {
        const QByteArray raw = file.readLine();
        ++lineNumber;
        QString line = QString::fromUtf8(raw);
        const qsizetype hash = line.indexOf(u'#');
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        UnitAddress unit;
        QString reason;
        if (!UnitAddress::parse(line, m_defaultPort, &unit, &reason)) {
            *error = QStringLiteral("%1:%2: \"%3\": %4").arg(path).arg(lineNumber).arg(line, reason);
            return false;
        }
        add({unit, {}, {}}, QStringLiteral("%1:%2").arg(path).arg(lineNumber));
    }
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read the unit file %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void UnitList::add(const UnitEntry& unit, const QString& where)
{
    const QString key = identity(unit.address);
    if (m_seen.contains(key)) {
        m_warnings << QStringLiteral("unit %1 is named more than once (again at %2); it is updated once")
                          .arg(unit.address.label(), where);
        return;
    }
    m_seen.insert(key);
    m_units.append(unit);
}
