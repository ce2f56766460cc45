#include "station/RunEventStream.h"

#include "station/EventHub.h"

void RunEventStream::publish(QJsonObject event)
{
    event[QStringLiteral("run")] = m_runId;
    m_hub.publish(event);
}
