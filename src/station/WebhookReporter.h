#pragma once

#include "fleet/RunObserver.h"

#include <QString>

class RunRecorder;
class UpdateRunner;
class Webhooks;

// Posts each finished update of one runner to the webhooks: the "finished" event with what the
// station knows of the unit, the run, the firmware and the update's history row (its last
// attempt's). Units that an interrupt stopped before their first update had no update to post.
class WebhookReporter : public RunObserver
{
public:
    // runId: the run's, empty for a fixture's update; firmwareSha256: the file sent.
    WebhookReporter(const UpdateRunner& runner, const RunRecorder& recorder, QString runId,
                    QString firmwareSha256, int firstUpdate, Webhooks& webhooks);

    void updateFinished(const UnitRun& unit) override;

private:
    const UpdateRunner& m_runner;
    const RunRecorder& m_recorder;
    QString m_runId;
    QString m_firmwareSha256;
    int m_firstUpdate;
    Webhooks& m_webhooks;
};
