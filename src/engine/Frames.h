#pragma once

#include <QByteArray>
#include <QString>

// The frames that open an update, and the hex dump the debug log shows them in.
namespace Frames {

// F0 15 2D <command> <data...> F7
QByteArray CommandFrame(quint8 command, const QByteArray& data);
// F0 15 2D 02 00 F7
QByteArray Command2Frame();
// F0 15 2D 01 <position> <length> <text> F7; the text is at most 255 characters of Latin-1.
QByteArray TextFrame(quint8 position, const QString& text);

constexpr quint8 FirstTextLine = 0x00;
constexpr quint8 SecondTextLine = 0x40;

// " FE 55 AA" - a space and two upper-case hex digits per byte.
QString hexDump(const QByteArray& bytes);

} // namespace Frames
