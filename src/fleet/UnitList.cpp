#include "fleet/UnitList.h"

#include "engine/TextFormat.h"
#include "history/LineText.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>

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
        // The address, then the serial number: the rest of the line after the blanks.
        const qsizetype blank = line.indexOf(QRegularExpression(QStringLiteral("\\s")));
        const QString address = blank < 0 ? line : line.left(blank);
        const QString serialText = blank < 0 ? QString() : line.mid(blank).trimmed();
        UnitAddress unit;
        QString reason;
        if (!UnitAddress::parse(address, m_defaultPort, &unit, &reason)) {
            *error = QStringLiteral("%1:%2: \"%3\": %4").arg(path).arg(lineNumber).arg(address, reason);
            return false;
        }
        const QString serial = LineText::checked(serialText);
        if (!serialText.isEmpty() && serial.isEmpty()) {
            *error = QStringLiteral("%1:%2: serial \"%3\": give printable text of at most %4 characters")
                         .arg(path)
                         .arg(lineNumber)
                         .arg(TextFormat::escaped(serialText))
                         .arg(LineText::MaxLength);
            return false;
        }
        add({unit, serial, {}}, QStringLiteral("%1:%2").arg(path).arg(lineNumber));
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
