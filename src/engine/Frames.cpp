#include "engine/Frames.h"

namespace Frames {

QByteArray CommandFrame(quint8 command, const QByteArray& data)
{
    QByteArray frame;
    frame.reserve(data.size() + 5);
    frame.append(char(0xF0)).append(char(0x15)).append(char(0x2D)).append(char(command));
    frame.append(data);
    frame.append(char(0xF7));
    return frame;
}

QByteArray Command2Frame()
{
    return CommandFrame(0x02, QByteArray(1, '\0'));
}

QByteArray TextFrame(quint8 position, const QString& text)
{
    const QByteArray bytes = text.toLatin1().left(255);
    QByteArray data;
    data.append(char(position)).append(char(bytes.size())).append(bytes);
    return CommandFrame(0x01, data);
}

QString hexDump(const QByteArray& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    QString dump;
    dump.reserve(bytes.size() * 3);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        dump.append(QLatin1Char(' '));
        dump.append(QLatin1Char(digits[byte >> 4]));
        dump.append(QLatin1Char(digits[byte & 0x0F]));
    }
    return dump;
}

} // namespace Frames
