#pragma once

#include <QString>

// The texts the line gives an update: a unit's serial number, a lot or work order. Each is
// printable text of 1 to MaxLength characters, without leading or trailing blanks (a scanner's
// Enter or a pasted space is not part of a serial).
namespace LineText {

constexpr int MaxLength = 64;

// The text trimmed; empty when it is no valid serial or lot (empty, too long, not printable).
QString checked(const QString& text);

} // namespace LineText
