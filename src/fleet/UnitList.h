#pragma once

#include "fleet/UnitEntry.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <utility>

// The units of one run, in the order given, each once.
class UnitList
{
public:
    explicit UnitList(QString defaultPort) : m_defaultPort(std::move(defaultPort)) {}

    // One --unit value, and the unit's serial if known. Returns false with a one-line error when it
    // names no unit.
    bool addArgument(const QString& text, QString* error, const QString& serial = {});
    // A file of units: one `HOST[:PORT] [SERIAL]` per line (the serial: the rest of the line, see
    // LineText), blank lines and # comments allowed. The error names the file and, for a bad line,
    // its number.
    bool addFile(const QString& path, QString* error);

    const QList<UnitEntry>& units() const { return m_units; }
    // One line per unit named twice: it is updated once.
    const QStringList& warnings() const { return m_warnings; }

private:
    void add(const UnitEntry& unit, const QString& where);

    QString m_defaultPort;
    QList<UnitEntry> m_units;
    QSet<QString> m_seen;
    QStringList m_warnings;
};
