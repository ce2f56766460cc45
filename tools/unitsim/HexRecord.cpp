#include "unitsim/HexRecord.h"

namespace unitsim {

int HexRecord::hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

HexRecord::Status HexRecord::parse(QByteArrayView line, HexRecord* out)
{
    if (line.size() < lineLength(0) || line.size() % 2 == 0 || line[0] != ':')
        return Status::Malformed;

    QByteArray bytes;
    bytes.reserve((line.size() - 1) / 2);
    quint8 sum = 0;
    for (qsizetype i = 1; i < line.size(); i += 2) {
        const int hi = hexDigit(line[i]);
        const int lo = hexDigit(line[i + 1]);
        if (hi < 0 || lo < 0)
            return Status::Malformed;
        const quint8 value = quint8(hi << 4 | lo);
        bytes.append(char(value));
        sum += value;
    }
    const int count = quint8(bytes[0]);
    if (line.size() != lineLength(count))
        return Status::Malformed;
    if (sum != 0)
        return Status::BadChecksum;

    if (out) {
        out->address = quint16(quint8(bytes[1]) << 8 | quint8(bytes[2]));
        out->type = quint8(bytes[3]);
        out->data = bytes.mid(4, count);
    }
    return Status::Ok;
}

QByteArray HexRecord::toLine() const
{
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    quint8 sum = 0;
    for (char b : std::as_const(bytes))
        sum += quint8(b);
    bytes.append(char(quint8(-sum)));
    return ':' + bytes.toHex().toUpper();
}

quint16 HexRecord::dataWord() const
{
    if (data.size() < 2)
        return 0;
    return quint16(quint8(data[0]) << 8 | quint8(data[1]));
}

} // namespace unitsim
