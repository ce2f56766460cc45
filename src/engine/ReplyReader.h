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
//
// A unit answers each message with one reply of 8 bytes, and some add a few bytes of their own to
// each (a line end, say). Bytes that are no reply (held without one being recognised, or dropped as
// stray since the last reply recognised) beyond UnrecognisedLimit, or more than HeldLimit bytes
// waiting at all, mean the peer is no unit, or a broken one: the arrival reports an overflow and
// the reader holds nothing more, so its memory stays bounded whatever the peer sends. Counting
// from the last reply rather than over the whole update lets a unit that adds bytes to every reply
// finish a file of any length, while a peer that floods still crosses the limit within one or two
// arrivals.
class ReplyReader
{
public:
    // 512 replies' worth: far more than any working unit sends unasked, and small enough that
    // holding and showing it costs nothing.
    static constexpr qsizetype UnrecognisedLimit = 4096;
    // Replies the update never asked for, waiting their turn (one of each code per arrival).
    static constexpr qsizetype HeldLimit = 16 * 1024;

    struct Arrival
    {
        bool incomplete = false; // too few bytes held: nothing was looked at
        bool overflow = false;   // past UnrecognisedLimit: nothing was looked at, nothing is held
        qsizetype strayBytes = 0;
        std::array<UnitReplies::Code, std::size(UnitReplies::RecognitionOrder)> codes{};
        int replyCount = 0;

        std::span<const UnitReplies::Code> replies() const { return {codes.data(), size_t(replyCount)}; }
    };

    void append(QByteArrayView bytes) { m_buffer.append(bytes); }
    // Everything received and not yet consumed.
    const QByteArray& held() const { return m_buffer; }
    Arrival takeReplies();
    // Forgets everything, the stray bytes counted so far included (a new update begins).
    void clear()
    {
        m_buffer.clear();
        m_strayTotal = 0;
    }

private:
    // Bytes held that are neither complete replies from the front on, nor the start of one.
    qsizetype unrecognisedHeld() const;

    QByteArray m_buffer;
    qsizetype m_strayTotal = 0; // stray bytes dropped since the last reply recognised, or clear()
};
