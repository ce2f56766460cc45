#include "unitsim/Reply.h"

namespace unitsim {

QByteArray replyFrame(quint8 code)
{
    QByteArray frame("\xFD\x55\xAA\x00\x00\x00\x00\x00", 8);
    frame[3] = char(code);
    return frame;
}

QByteArray unknownReplyFrame()
{
    return QByteArray("\xFD\x55\xAA\xFF\x00\x00", 6);
}

bool isRefusal(quint8 code)
{
    return code == ChecksumRefusal || code == ProductCodeRefusal || code == RecordTypeRefusal;
}

} // namespace unitsim
