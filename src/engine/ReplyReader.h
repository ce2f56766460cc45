#pragma once

#include "engine/UnitReplies.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <span>

// Finds the unit's replies in the bytes it sends, one arrival at a time. Bytes that are not
// consumed stay for the next arrival. Per arrival: nothing is looked at below MinimumBuffered
// bytes; leading bytes that cannot start a reply are dropped (the last byte always stays); then
// at most one reply of each code is taken, in RecognitionOrder, each on the buffer as the one
// before left it. A front that starts with FD but is no known reply is never consumed.
class ReplyReader
{
public:
    struct Arrival
    {
        bool incomplete = false; // too few bytes held: nothing was looked at
        int strayBytes = 0;
        std::array<UnitReplies::Code, std::size(UnitReplies::RecognitionOrder)> codes{};
        int replyCount = 0;

        std::span<const UnitReplies::Code> replies() const { return {codes.data(), size_t(replyCount)}; }
    };

    void append(QByteArrayView bytes) { m_buffer.append(bytes); }
    // Everything received and not yet consumed.
    const QByteArray& held() const { return m_buffer; }
    Arrival takeReplies();
    void clear() { m_buffer.clear(); }

private:
    QByteArray m_buffer;
};
