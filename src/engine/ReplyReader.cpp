#include "engine/ReplyReader.h"

ReplyReader::Arrival ReplyReader::takeReplies()
{
    Arrival arrival;
    if (m_buffer.size() < UnitReplies::MinimumBuffered) {
        arrival.incomplete = true;
        return arrival;
    }
    arrival.strayBytes = UnitReplies::dropStrayBytes(m_buffer);
    for (UnitReplies::Code code : UnitReplies::RecognitionOrder) {
        if (UnitReplies::take(m_buffer, code))
            arrival.codes[size_t(arrival.replyCount++)] = code;
    }
    return arrival;
}
