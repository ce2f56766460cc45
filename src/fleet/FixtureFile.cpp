#include "fleet/FixtureFile.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>

bool FixtureFile::isName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9._-]{1,32}\\z"));
    return pattern.match(name).hasMatch();
}

bool FixtureFile::parse(const QString& text, const QString& defaultPort, QList<FixtureEntry>* fixtures,
                        QString* error)
{
    QList<FixtureEntry> found;
    QSet<QString> names;
    QSet<QString> addresses;
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const auto fail = [&](const QString& reason) {
            *error = QStringLiteral("line %1: %2").arg(i + 1).arg(reason);
            return false;
        };
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const QStringList fields = line.split(QRegularExpression(QStringLiteral("\\s+")));
        if (fields.size() != 2)
            return fail(QStringLiteral("expected NAME HOST[:PORT]"));
        if (!isName(fields.at(0)))
            return fail(QStringLiteral("a fixture's name is 1 to %1 letters, digits, '.', '_' or '-'")
                            .arg(MaxNameLength));
        FixtureEntry entry;
        entry.name = fields.at(0);
        QString reason;
        if (!UnitAddress::parse(fields.at(1), defaultPort, &entry.address, &reason))
            return fail(reason);
        if (names.contains(entry.name))
            return fail(QStringLiteral("the fixture %1 is named twice").arg(entry.name));
        if (addresses.contains(entry.address.label()))
            return fail(QStringLiteral("%1 is the address of another fixture").arg(entry.address.label()));
        if (found.size() >= MaxFixtures)
            return fail(QStringLiteral("more than %1 fixtures").arg(MaxFixtures));
        names.insert(entry.name);
        addresses.insert(entry.address.label());
        found.append(entry);
    }
    *fixtures = found;
    return true;
}

bool FixtureFile::read(const QString& path, const QString& defaultPort, QList<FixtureEntry>* fixtures,
                       QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the fixtures file %1: %2").arg(path, file.errorString());
        return false;
    }
    // A fixtures file is a few lines; anything far larger is no fixtures file.
    const QByteArray bytes = file.read(1024 * 1024 + 1);
    if (bytes.size() > 1024 * 1024) {
        *error = QStringLiteral("the fixtures file %1 is over 1 MiB").arg(path);
        return false;
    }
    QString reason;
    if (!parse(QString::fromUtf8(bytes), defaultPort, fixtures, &reason)) {
        *error = QStringLiteral("the fixtures file %1, %2").arg(path, reason);
        return false;
    }
    return true;
}
