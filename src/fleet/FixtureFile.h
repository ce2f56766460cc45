#pragma once

#include "fleet/UnitAddress.h"

#include <QList>
#include <QString>

// A fixture of a production line: the place a unit is put to be updated, named by the line, and
// the address every unit placed there answers at.
struct FixtureEntry
{
    QString name;
    UnitAddress address;
};

// The fixtures file: one fixture a line, `NAME HOST[:PORT]`, blank lines and # comments allowed.
// Names are letters, digits, '.', '_' and '-', at most MaxNameLength, each used once; so is each
// address, since two fixtures at one address would update the same unit.
namespace FixtureFile {

constexpr int MaxNameLength = 32;
constexpr int MaxFixtures = 256;

bool isName(const QString& name);
// Returns false and "line N: reason" for the first bad line.
bool parse(const QString& text, const QString& defaultPort, QList<FixtureEntry>* fixtures, QString* error);
// parse() of a file; the error names the file.
bool read(const QString& path, const QString& defaultPort, QList<FixtureEntry>* fixtures, QString* error);

} // namespace FixtureFile
