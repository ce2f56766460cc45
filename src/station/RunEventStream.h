#pragma once

#include "fleet/RunEvents.h"

#include <QString>

class EventHub;

// A station run's events on the event stream: each one as uploader-cli --json writes it, with the
// run's id in `run`.
class RunEventStream : public RunEvents
{
public:
    RunEventStream(const UpdateRunner& runner, QString runId, EventHub& hub)
        : RunEvents(runner, false), m_runId(std::move(runId)), m_hub(hub)
    {
    }

    void publish(QJsonObject event);

protected:
    void write(const QJsonObject& event) override { publish(event); }

private:
    QString m_runId;
    EventHub& m_hub;
};
