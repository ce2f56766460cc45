#include "engine/RecordLine.h"

#include "engine/TextFormat.h"

#include <QLocale>

#include <algorithm>
#include <cstring>

namespace {

constexpr std::array<qint8, 256> nibbleTable()
{
    std::array<qint8, 256> table{};
    table.fill(-1);
    for (int c = '0'; c <= '9'; ++c)
        table[size_t(c)] = qint8(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) {
        table[size_t(c)] = qint8(c - 'A' + 10);
        table[size_t(c - 'A' + 'a')] = qint8(c - 'A' + 10);
    }
    return table;
}

constexpr std::array<qint8, 256> Nibbles = nibbleTable();

int nibble(char c)
{
    return Nibbles[quint8(c)];
}

quint8 byteAt(const char* digits)
{
    return quint8(nibble(digits[0]) << 4 | nibble(digits[1]));
}

QString hexByte(quint8 byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
}

QString describe(char c)
{
    if (c == ' ')
        return QStringLiteral("a space");
    if (c == '\t')
        return QStringLiteral("a tab");
    if (c > ' ' && c < 0x7F)
        return QStringLiteral("'%1'").arg(QLatin1Char(c));
    return QStringLiteral("the byte 0x") + hexByte(quint8(c));
}

QString dataBytes(qint64 n)
{
    return TextFormat::count(n) + (n == 1 ? QStringLiteral(" data byte") : QStringLiteral(" data bytes"));
}

// The data length each record type needs; -1 for any.
int neededDataBytes(quint8 type)
{
    constexpr int needed[] = {-1, 0, 2, 4, 2, 4};
    return needed[type];
}

QString typeName(quint8 type)
{
    static const char* const names[] = {"a data record",
                                        "an end-of-file record",
                                        "an extended segment address record",
                                        "a start segment address record",
                                        "an extended linear address record",
                                        "a start linear address record"};
    return QString::fromLatin1(names[type]) + QStringLiteral(" (") + hexByte(type) + QLatin1Char(')');
}

} // namespace

void RecordLine::clear()
{
    m_length = 0;
    m_blank = true;
    m_marked = false;
    m_startsWithColon = false;
    m_badColumn = 0;
    m_badCharacter = 0;
}

void RecordLine::append(const char* data, qsizetype size)
{
    if (size <= 0)
        return;
    if (m_length < MaxLength) {
        const qsizetype keep = std::min<qint64>(size, MaxLength - m_length);
        std::memcpy(m_kept.data() + m_length, data, size_t(keep));
    }
    for (qsizetype i = 0; i < size && (m_blank || !m_marked); ++i) {
        const char c = data[i];
        if (c != ' ' && c != '\t')
            m_blank = false;
        if (!m_marked && c != ' ' && c != '\t' && c != '\x1A') {
            m_marked = true;
            m_startsWithColon = c == ':';
        }
    }
    if (m_badColumn == 0) {
        // Column 1 is the colon, checked on its own.
        for (qsizetype i = m_length == 0 ? 1 : 0; i < size; ++i) {
            if (nibble(data[i]) < 0) {
                m_badColumn = m_length + i + 1;
                m_badCharacter = data[i];
                break;
            }
        }
    }
    m_length += size;
}

QByteArray RecordLine::text() const
{
    return QByteArray::fromRawData(m_kept.data(), qsizetype(std::min<qint64>(m_length, MaxLength)));
}

bool RecordLine::checkSoFar(Problem& problem) const
{
    if (m_blank)
        return true; // only spaces and tabs yet: still maybe a blank line
    if (m_kept[0] != ':')
        problem = {0, QStringLiteral("a record must start with ':'")};
    else if (m_badColumn > 0)
        problem = {m_badColumn, describe(m_badCharacter) + QStringLiteral(" is not a hex digit")};
    else if (m_length > MaxLength)
        problem = {
            0, QStringLiteral("the line is longer than any record (%1 characters at most)").arg(MaxLength)};
    else
        return true;
    return false;
}

bool RecordLine::check(Record& record, Problem& problem) const
{
    auto fail = [&](QString text, qint64 column = 0) {
        problem = {column, std::move(text)};
        return false;
    };
    if (m_length == 0)
        return fail(QStringLiteral("a record must start with ':'"));
    if (!checkSoFar(problem))
        return false;
    const qint64 digits = m_length - 1;
    if (digits == 0)
        return fail(QStringLiteral("the line holds only ':', but a record needs at least 10 hex digits"));
    if (digits < 10)
        return fail(QStringLiteral("a record needs at least 10 hex digits, but the line holds ") +
                    TextFormat::count(digits));
    if (digits % 2 != 0)
        return fail(QStringLiteral("a record needs an even number of hex digits, but the line holds ") +
                    TextFormat::count(digits));

    const char* hex = m_kept.data() + 1;
    const int counted = byteAt(hex);
    const qint64 held = (digits - 10) / 2;
    if (held != counted)
        return fail(QStringLiteral("the byte count says ") + dataBytes(counted) +
                    QStringLiteral(", but the line holds ") + TextFormat::count(held));
    const quint8 type = byteAt(hex + 6);
    if (type > 5)
        return fail(QStringLiteral("record type ") + hexByte(type) +
                    QStringLiteral(" is not an Intel HEX record type (00 to 05)"));
    const int needed = neededDataBytes(type);
    if (needed >= 0 && needed != counted)
        return fail(typeName(type) + QStringLiteral(" needs ") +
                    (needed == 0 ? QStringLiteral("no data bytes") : dataBytes(needed)) +
                    QStringLiteral(", not ") + TextFormat::count(counted));

    quint8 sum = 0;
    for (int i = 0; i < 4 + counted; ++i)
        sum = quint8(sum + byteAt(hex + 2 * i));
    const quint8 checksum = byteAt(hex + 2 * (4 + counted));
    const quint8 needs = quint8(-sum);
    if (checksum != needs)
        return fail(QStringLiteral("checksum is ") + hexByte(checksum) +
                    QStringLiteral(", but the record's bytes need ") + hexByte(needs));

    record.type = type;
    record.address = quint16(byteAt(hex + 2) << 8 | byteAt(hex + 4));
    record.dataBytes = counted;
    record.value = 0;
    if (type != 0) {
        for (int i = 0; i < counted; ++i)
            record.value = record.value << 8 | byteAt(hex + 8 + 2 * i);
    }
    return true;
}
