#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Recognising the unit's replies in the bytes received so far. A reply is FD 55 AA <code> plus a
// trailer the tool does not interpret: 8 bytes in all, 6 for code FF.
namespace UnitReplies {

enum class Code
{
    Ack,
    ChecksumRefusal,
    ProductCodeRefusal,
    RecordTypeRefusal,
    Unknown
};

// The order in which one data arrival looks for replies; each is looked for at most once.
constexpr Code RecognitionOrder[] = {Code::Ack, Code::ChecksumRefusal, Code::ProductCodeRefusal,
                                     Code::RecordTypeRefusal, Code::Unknown};

// Nothing is recognised in a buffer shorter than this.
constexpr qsizetype MinimumBuffered = 8;

// The reply's fourth byte: 00, 01, 02, 03 or FF.
quint8 codeByte(Code code);
qsizetype length(Code code);
// "ACK from unit", "NAK - Incorrect Checksum", ...
QString logText(Code code);
bool isRefusal(Code code);

// Drops leading bytes that cannot start a reply (anything but FD) while at least two bytes are
// buffered; the last byte always stays. Returns the number dropped.
int dropStrayBytes(QByteArray& buffer);

// When the buffer begins with the reply's header and holds the whole reply, removes it and
// returns true. A header with fewer bytes behind it than the reply's length stays for later.
bool take(QByteArray& buffer, Code code);

// The reply whose header stands at the front, if any (whether or not it is complete).
std::optional<Code> atFront(const QByteArray& buffer);

} // namespace UnitReplies
