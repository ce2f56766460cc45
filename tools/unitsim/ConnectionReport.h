#pragma once

#include "unitsim/FlashImage.h"
#include "unitsim/Message.h"

#include <QList>
#include <QString>

namespace unitsim {

struct ShownText
{
    quint8 position = 0; // 00 = first display line, 40 = second
    QByteArray text;

    bool operator==(const ShownText&) const = default;
};

// What happened on one connection (or, summed up, on all of them).
struct ConnectionReport
{
    int number = 0; // 1 = first connection accepted; 0 for the cumulative report
    QString peer;
    bool open = false;

    QList<ReceivedMessage> messages; // in arrival order, garbage included
    QList<QByteArray> writes;        // every socket write, in order, flood streams left out
    QList<ShownText> texts;

    int recordsAccepted = 0; // records the tool was told were accepted
    int refusals = 0;        // replies with code 01, 02 or 03, injected ones included
    int garbageBytes = 0;

    // Flood faults: bytes of flood streams the OS took from the unit (what a closed connection cut
    // off is not counted), floods begun and run to their end, and the most bytes a flood ever
    // had waiting in the socket's own write buffer, which flow control keeps small.
    qint64 floodBytesSent = 0;
    int floodsStarted = 0;
    int floodsCompleted = 0;
    qint64 floodPeakBuffered = 0;

    // Only records that were actually acknowledged are written, so the image is what the tool
    // was told the unit holds. While a flood runs, the records behind it count only once their
    // acknowledgement has been written, so a connection closed mid-flood does not count them.
    FlashImage image;
    bool imageComplete = false; // an end-of-file record was acknowledged
};

} // namespace unitsim
