#pragma once

#include "fleet/RunObserver.h"

#include <QString>

// How uploader-cli shows a run: JSON Lines, the live terminal lines or plain lines. Besides what
// the run tells it, each has the last word (the summary) and its own way with warnings.
class RunDisplay : public virtual RunObserver
{
public:
    // The last output of the run.
    virtual void writeSummary() = 0;
    // Trouble beside the updates, which changes none of them: on standard error, and where the
    // display has a place for it, there too.
    virtual void warn(const QString& message);
    // A message is about to go to standard error now (an interrupt): nothing of the display may
    // stand in its way.
    virtual void clearForMessage() {}

    // The run's id, for the summary.
    void setRunId(const QString& id) { m_runId = id; }
    const QString& runId() const { return m_runId; }

private:
    QString m_runId;
};
