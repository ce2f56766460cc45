#pragma once

#include <QByteArray>
#include <QString>

#include <array>

// One line of a HEX file, taken in piece by piece as it is read and checked as an Intel HEX
// record once it is complete. Only the first MaxLength characters are kept: no longer line can be
// a record, and what is wrong with it follows from its length and the characters seen on the way.
class RecordLine
{
public:
    // ':' and the hex digits of a byte count, address, type, 255 data bytes and a checksum.
    static constexpr qsizetype MaxLength = 1 + 2 * (1 + 2 + 1 + 255 + 1);

    struct Record
    {
        quint8 type = 0;
        quint16 address = 0;
        int dataBytes = 0;
        quint32 value = 0; // the data of an address record (02 to 05) as a big-endian number
    };

    struct Problem
    {
        qint64 column = 0; // 1-based; 0 when the problem is the line as a whole
        QString text;      // e.g. "'G' is not a hex digit"
    };

    void clear();
    void append(const char* data, qsizetype size);

    qint64 length() const { return m_length; }
    // Only spaces and tabs, or nothing.
    bool isBlank() const { return m_blank; }
    // The first character other than a space, tab or DOS end-of-file mark (0x1A) is ':'.
    bool startsWithColon() const { return m_startsWithColon; }
    // The line as read (its first MaxLength characters when longer). Valid until the next append().
    QByteArray text() const;

    // What is read of the line so far already makes it malformed (not a colon first, a character
    // that is no hex digit, longer than any record): then false, with the problem.
    bool checkSoFar(Problem& problem) const;
    // Checks the complete line; fills record and returns true when it is a well-formed record.
    bool check(Record& record, Problem& problem) const;

private:
    std::array<char, MaxLength> m_kept{};
    qint64 m_length = 0;
    bool m_blank = true;
    bool m_marked = false; // a character other than a space, tab or 0x1A has been seen
    bool m_startsWithColon = false;
    qint64 m_badColumn = 0; // the first column after the colon that is not a hex digit
    char m_badCharacter = 0;
};
