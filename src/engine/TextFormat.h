#pragma once

#include <QString>
#include <QStringView>

// How numbers and names appear in the lines the tools write.
namespace TextFormat {

// A count with a comma between thousands, whatever the user's locale: "1,234".
QString count(qint64 n);

// A name from outside (a file path, a unit's address) made safe to show: control characters
// become C-style escapes ("\t", "\n", "\033"), as git and ls show such names, so a name cannot
// repaint a terminal or break a log line. Names without them come back unchanged.
QString escaped(QStringView name);

} // namespace TextFormat
