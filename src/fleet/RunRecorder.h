#pragma once

#include "fleet/RunObserver.h"
#include "history/UpdateRecorder.h"

#include <vector>

class UpdateRunner;

// Keeps every update of a run in the history: a row when the update starts, its log lines as they
// come, its records as they go, and its end. Units that an interrupt stopped before their first
// update have no row: nothing was attempted.
class RunRecorder : public RunObserver
{
public:
    // One attempt's row: its uuid is made here, so it is known even without a history (handle 0).
    struct Row
    {
        HistoryHandle handle = 0;
        QString uuid;
    };

    // runId: the run's own id, or empty; firmware: what the front end knows of the file.
    RunRecorder(const UpdateRunner& runner, UpdateRecorder recorder, QString runId = {},
                RecordedFirmware firmware = {});

    void updateStarted(const UnitRun& unit) override;
    void progress(const UnitRun& unit) override;
    void logLine(const UnitRun& unit, const QString& text, bool debugOnly) override;
    void retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay) override;
    void updateFinished(const UnitRun& unit) override;

    // The row of the unit's attempt under way, else of its last one.
    const Row& row(int unit) const { return m_rows[size_t(unit)]; }

private:
    const UpdateRunner& m_runner;
    UpdateRecorder m_recorder;
    QString m_runId;
    RecordedFirmware m_firmware;
    std::vector<HistoryHandle> m_handles; // per unit, the update under way; 0 when none
    std::vector<Row> m_rows;              // per unit, the latest attempt's
};
