#include "unitsim/UnitReport.h"

#include <algorithm>

namespace unitsim {

ConnectionReport UnitReport::cumulative() const
{
    ConnectionReport total;
    for (const ConnectionReport& c : connections) {
        total.messages += c.messages;
        total.writes += c.writes;
        total.texts += c.texts;
        total.recordsAccepted += c.recordsAccepted;
        total.refusals += c.refusals;
        total.garbageBytes += c.garbageBytes;
        total.floodBytesSent += c.floodBytesSent;
        total.floodsStarted += c.floodsStarted;
        total.floodsCompleted += c.floodsCompleted;
        total.floodPeakBuffered = std::max(total.floodPeakBuffered, c.floodPeakBuffered);
        const QMap<quint32, QByteArray> ranges = c.image.ranges();
        for (auto it = ranges.begin(); it != ranges.end(); ++it)
            total.image.write(it.key(), it.value());
        total.imageComplete = total.imageComplete || c.imageComplete;
        total.open = total.open || c.open;
    }
    return total;
}

} // namespace unitsim
