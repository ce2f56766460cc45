#pragma once

#include <QByteArray>
#include <QList>

// Builds Intel HEX lines with correct checksums for tests.
namespace HexFile {

inline QByteArray record(quint8 type, quint16 address, const QByteArray& data)
{
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(address >> 8)).append(char(address & 0xFF)).append(char(type));
    bytes.append(data);
    quint8 sum = 0;
    for (char c : bytes)
        sum += quint8(c);
    bytes.append(char(quint8(-sum)));
    return ":" + bytes.toHex().toUpper();
}

inline QByteArray data(quint16 address, const QByteArray& bytes)
{
    return record(0x00, address, bytes);
}

inline QByteArray extendedLinear(quint16 upper)
{
    return record(0x04, 0, QByteArray().append(char(upper >> 8)).append(char(upper & 0xFF)));
}

inline QByteArray endOfFile()
{
    return record(0x01, 0, {});
}

inline QByteArray join(const QList<QByteArray>& lines, const QByteArray& terminator = "\r\n")
{
    QByteArray text;
    for (const QByteArray& line : lines)
        text += line + terminator;
    return text;
}

// n data records of 16 bytes from address 0 on, each filled with a pattern of its own, then EOF.
inline QList<QByteArray> plain(int n)
{
    QList<QByteArray> lines;
    for (int i = 0; i < n; ++i) {
        const quint32 address = quint32(i) * 16;
        if (address % 0x10000 == 0 && address > 0)
            lines.append(extendedLinear(quint16(address >> 16)));
        QByteArray bytes(16, '\0');
        for (int b = 0; b < 16; ++b)
            bytes[b] = char((i * 31 + b * 7) & 0xFF);
        lines.append(data(quint16(address & 0xFFFF), bytes));
    }
    lines.append(endOfFile());
    return lines;
}

} // namespace HexFile
