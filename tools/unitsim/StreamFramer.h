#pragma once

#include "unitsim/Message.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace unitsim {

// Cuts the byte stream from the tool into messages. Nothing on the wire delimits them, so each
// kind is recognised by its first bytes and framed by its length:
//   F0 15 2D 02 00 F7                  command 02, 6 bytes
//   F0 15 2D 01 <pos> <n> <text> F7    text, 7 + n bytes
//   FE 55 AA <4 bytes>                 product code, 7 bytes
//   ':' <count> ...                    record line, 11 + 2 * count characters
//
// Resynchronisation: a byte that cannot start a frame (anything other than F0, FE or ':', a start
// byte whose header bytes do not follow, or a command frame without its F7 in the right place) is
// garbage. Only that one byte is skipped and framing resumes at the next byte, so a valid frame
// right after junk is never lost. Consecutive garbage bytes are reported as one Garbage message,
// cut where the next frame starts or where the received data ends.
//
// A record whose count digits are not hex cannot be measured; its ':' and two count characters
// are framed as a (malformed) record so the unit can refuse it, and the rest of that line then
// falls through as garbage.
class StreamFramer
{
public:
    struct Frame
    {
        MessageKind kind;
        QByteArray bytes;
    };

    void append(QByteArrayView data);

    // The next complete message, or nothing until more bytes arrive.
    std::optional<Frame> next();

    // Bytes held back because they may be the start of a frame.
    qsizetype pendingBytes() const { return m_buffer.size() - m_pos; }

private:
    enum class Verdict { Complete, NeedMore, Garbage };
    Verdict classify(MessageKind* kind, qsizetype* length) const;
    quint8 at(qsizetype i) const { return quint8(m_buffer[m_pos + i]); }

    QByteArray m_buffer;
    qsizetype m_pos = 0;
    QByteArray m_garbage;
};

} // namespace unitsim
