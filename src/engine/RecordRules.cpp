#include "engine/RecordRules.h"

#include <QByteArrayView>

#include <cstring>

namespace {

// Characters first..last (1-based, inclusive) equal expected; false when the line is too short.
// Compared in place: every record line passes through here on its way to the unit.
bool rangeEquals(const QByteArray& line, qsizetype first, QByteArrayView expected)
{
    if (line.size() < first - 1 + expected.size())
        return false;
    return std::memcmp(line.constData() + first - 1, expected.data(), size_t(expected.size())) == 0;
}

} // namespace

namespace RecordRules {

bool isNoDataRecord(const QByteArray& line)
{
    static const QByteArray allFF(64, 'F');
    return rangeEquals(line, 2, "20") && rangeEquals(line, 10, allFF);
}

bool isBootCodeRecord(const QByteArray& line)
{
    return rangeEquals(line, 4, "FC");
}

Skip skipReason(const QByteArray& line)
{
    if (isNoDataRecord(line))
        return Skip::NoData;
    if (isBootCodeRecord(line))
        return Skip::BootCode;
    return Skip::None;
}

bool isEndOfFileRecord(const QByteArray& line)
{
    return rangeEquals(line, 8, "01");
}

QByteArray address(const QByteArray& line)
{
    return line.mid(3, 4);
}

} // namespace RecordRules
