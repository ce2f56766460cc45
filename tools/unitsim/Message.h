#pragma once

#include <QByteArray>
#include <QString>

namespace unitsim {

// What a run of received bytes turned out to be.
enum class MessageKind {
    Command02,   // F0 15 2D 02 00 F7
    Text,        // F0 15 2D 01 <position> <n> <text> F7
    ProductCode, // FE 55 AA 01 p1 p2 check
    Record,      // one Intel HEX line without terminator
    Garbage,     // bytes that could not be framed, skipped
};

// "command02", "text", "productCode", "record", "garbage"
QString messageKindName(MessageKind kind);

struct ReceivedMessage
{
    MessageKind kind = MessageKind::Garbage;
    QByteArray bytes;
    // Position among the replied messages of its connection (0 = usually the product-code frame);
    // -1 for command frames and garbage, which get no reply.
    int index = -1;
    // Everything the unit decided to write in answer (stray bytes and surplus acknowledgement
    // included); empty when the unit stayed silent or dropped the connection.
    QByteArray reply;
    // Bytes of the flood stream a flood fault sent between the two parts of `reply` (the stray
    // bytes in front and the reply after): 0 = no flood, -1 = endless. The stream itself, the
    // header of flood-header included, is not in `reply`.
    qint64 floodSize = 0;
};

} // namespace unitsim
