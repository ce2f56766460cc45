#pragma once

#include <QList>
#include <QtGlobal>

#include <optional>

struct AddressRange
{
    quint64 first = 0;
    quint64 last = 0; // inclusive

    bool operator==(const AddressRange&) const = default;
};

// The addresses a firmware file writes, as sorted ranges with touching and overlapping ones
// merged. At most MaxKept ranges are kept, so a file of any size needs the same memory; ranges
// that fit none of them are only counted. Files written in address order (the usual case) are
// counted exactly; a later record that bridges two counted ranges cannot undo the count.
class AddressRanges
{
public:
    static constexpr qsizetype MaxKept = 32;

    void add(quint64 first, quint64 last);

    const QList<AddressRange>& kept() const { return m_kept; }
    qint64 more() const { return m_more; }
    bool isEmpty() const { return m_kept.isEmpty(); }

    bool operator==(const AddressRanges&) const = default;

private:
    QList<AddressRange> m_kept;
    qint64 m_more = 0;
    std::optional<AddressRange> m_lastMore; // the latest range that did not fit, to grow in place
};
