#include "engine/AddressRanges.h"

#include <algorithm>

namespace {

// Overlapping or adjacent. Addresses stay far below 2^64, so last + 1 cannot wrap.
bool touches(const AddressRange& range, quint64 first, quint64 last)
{
    return first <= range.last + 1 && range.first <= last + 1;
}

} // namespace

void AddressRanges::add(quint64 first, quint64 last)
{
    // The kept ranges are sorted and apart, so the ones the new range touches are consecutive.
    qsizetype i = 0;
    while (i < m_kept.size() && m_kept[i].last + 1 < first)
        ++i;
    qsizetype end = i;
    while (end < m_kept.size() && touches(m_kept[end], first, last))
        ++end;
    if (end > i) {
        m_kept[i].first = std::min(m_kept[i].first, first);
        m_kept[i].last = std::max(m_kept[end - 1].last, last);
        m_kept.remove(i + 1, end - i - 1);
        return;
    }
    if (m_kept.size() < MaxKept) {
        m_kept.insert(i, {first, last});
        return;
    }
    if (m_lastMore && touches(*m_lastMore, first, last)) {
        m_lastMore->first = std::min(m_lastMore->first, first);
        m_lastMore->last = std::max(m_lastMore->last, last);
        return;
    }
    m_lastMore = AddressRange{first, last};
    ++m_more;
}
