#pragma once

#include <QByteArray>

namespace unitsim {

// Reply codes, the fourth byte of FD 55 AA <code> + 4 trailer bytes.
enum ReplyCode : quint8 {
    Acknowledge = 0x00,
    ChecksumRefusal = 0x01,
    ProductCodeRefusal = 0x02,
    RecordTypeRefusal = 0x03,
    UnrecognisedHeader = 0x04, // only ever sent as an injected fault
};

// FD 55 AA <code> 00 00 00 00
QByteArray replyFrame(quint8 code);

// FD 55 AA FF 00 00: the short form the tool cannot recognise (injected fault only).
QByteArray unknownReplyFrame();

bool isRefusal(quint8 code);

} // namespace unitsim
