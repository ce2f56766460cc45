#include "unitsim/StreamFramer.h"

#include "unitsim/HexRecord.h"

namespace unitsim {

void StreamFramer::append(QByteArrayView data)
{
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer.append(data.data(), data.size());
}

std::optional<StreamFramer::Frame> StreamFramer::next()
{
    while (m_pos < m_buffer.size()) {
        MessageKind kind = MessageKind::Garbage;
        qsizetype length = 0;
        const Verdict verdict = classify(&kind, &length);
        if (verdict == Verdict::Garbage) {
            m_garbage.append(m_buffer[m_pos++]);
            continue;
        }
        if (!m_garbage.isEmpty())
            break;
        if (verdict == Verdict::NeedMore)
            return std::nullopt;
        Frame frame{kind, m_buffer.mid(m_pos, length)};
        m_pos += length;
        return frame;
    }
    if (m_garbage.isEmpty())
        return std::nullopt;
    return Frame{MessageKind::Garbage, std::exchange(m_garbage, QByteArray())};
}

StreamFramer::Verdict StreamFramer::classify(MessageKind* kind, qsizetype* length) const
{
    const qsizetype avail = m_buffer.size() - m_pos;
    // Checks header bytes as far as they have arrived.
    auto headerMismatch = [&](std::initializer_list<quint8> header) {
        qsizetype i = 0;
        for (quint8 expected : header) {
            if (i < avail && at(i) != expected)
                return true;
            ++i;
        }
        return false;
    };

    switch (at(0)) {
    case ':': {
        if (avail < 3)
            return Verdict::NeedMore;
        *kind = MessageKind::Record;
        const int hi = HexRecord::hexDigit(char(at(1)));
        const int lo = HexRecord::hexDigit(char(at(2)));
        *length = (hi < 0 || lo < 0) ? 3 : HexRecord::lineLength(hi << 4 | lo);
        return avail >= *length ? Verdict::Complete : Verdict::NeedMore;
    }
    case 0xFE:
        if (headerMismatch({0xFE, 0x55, 0xAA}))
            return Verdict::Garbage;
        *kind = MessageKind::ProductCode;
        *length = 7;
        return avail >= 7 ? Verdict::Complete : Verdict::NeedMore;
    case 0xF0:
        if (headerMismatch({0xF0, 0x15, 0x2D}))
            return Verdict::Garbage;
        if (avail < 4)
            return Verdict::NeedMore;
        if (at(3) == 0x02) {
            if (headerMismatch({0xF0, 0x15, 0x2D, 0x02, 0x00, 0xF7}))
                return Verdict::Garbage;
            *kind = MessageKind::Command02;
            *length = 6;
            return avail >= 6 ? Verdict::Complete : Verdict::NeedMore;
        }
        if (at(3) == 0x01) {
            if (avail < 6)
                return Verdict::NeedMore;
            *kind = MessageKind::Text;
            *length = 7 + at(5);
            if (avail < *length)
                return Verdict::NeedMore;
            return at(*length - 1) == 0xF7 ? Verdict::Complete : Verdict::Garbage;
        }
        return Verdict::Garbage;
    default:
        return Verdict::Garbage;
    }
}

} // namespace unitsim
