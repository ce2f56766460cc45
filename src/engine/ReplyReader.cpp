#include "engine/ReplyReader.h"

#include <algorithm>

ReplyReader::Arrival ReplyReader::takeReplies()
{
    Arrival arrival;
    if (m_buffer.size() < UnitReplies::MinimumBuffered) {
        arrival.incomplete = true;
        return arrival;
    }
    arrival.strayBytes = UnitReplies::dropStrayBytes(m_buffer);
    m_strayTotal += arrival.strayBytes;
    for (UnitReplies::Code code : UnitReplies::RecognitionOrder) {
        if (UnitReplies::take(m_buffer, code))
            arrival.codes[size_t(arrival.replyCount++)] = code;
    }
    if (m_strayTotal + unrecognisedHeld() > UnrecognisedLimit || m_buffer.size() > HeldLimit) {
        arrival.overflow = true;
        arrival.replyCount = 0;
        m_buffer.clear();
        m_buffer.squeeze();
        return arrival;
    }
    if (arrival.replyCount > 0)
        m_strayTotal = 0; // the unit is answering: what came before went with its replies
    return arrival;
}

qsizetype ReplyReader::unrecognisedHeld() const
{
    qsizetype at = 0;
    for (;;) {
        const QByteArray rest = QByteArray::fromRawData(m_buffer.constData() + at, m_buffer.size() - at);
        const std::optional<UnitReplies::Code> code = UnitReplies::atFront(rest);
        if (!code || rest.size() < UnitReplies::length(*code))
            break;
        at += UnitReplies::length(*code);
    }
    // A reply still coming in may be one byte short of the smallest that is looked at.
    return std::max<qsizetype>(0, m_buffer.size() - at - (UnitReplies::MinimumBuffered - 1));
}
