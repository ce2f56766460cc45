#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace unitsim {

// One Intel HEX record: ":" count(2) address(4) type(2) data(2*count) checksum(2).
class HexRecord
{
public:
    enum class Status {
        Ok,
        Malformed,   // wrong start character, a non-hex digit, or a length that disagrees with the count
        BadChecksum, // the bytes do not sum to zero mod 256
    };

    enum Type : quint8 {
        Data = 0x00,
        EndOfFile = 0x01,
        ExtendedSegmentAddress = 0x02,
        StartSegmentAddress = 0x03,
        ExtendedLinearAddress = 0x04,
        StartLinearAddress = 0x05,
    };

    quint8 type = Data;
    quint16 address = 0;
    QByteArray data;

    // Characters in a record line whose count field is `count`.
    static constexpr int lineLength(int count) { return 11 + 2 * count; }

    // Value of a hex digit (either case), or -1.
    static int hexDigit(char c);

    // Parses exactly one record line, without line terminator.
    static Status parse(QByteArrayView line, HexRecord* out);

    // The record as a line with upper-case digits and its checksum, without line terminator.
    QByteArray toLine() const;

    // Big-endian value of a two-byte data field (the 02 and 04 records).
    quint16 dataWord() const;
};

} // namespace unitsim
