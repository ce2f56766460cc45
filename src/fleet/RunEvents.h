#pragma once

#include "fleet/RunObserver.h"

#include <QElapsedTimer>
#include <QJsonObject>

#include <vector>

class UpdateRunner;

// A run told as JSON objects, the same for every reader: uploader-cli's JSON Lines and the
// station's event stream each write them their own way. One object per started, connected,
// progress, log and finished (see the README for the fields). Progress is coalesced per unit: at
// most one every progressInterval, plus the last one of each stream, which always comes before the
// update's finished.
class RunEvents : public virtual RunObserver
{
public:
    static constexpr qint64 DefaultProgressIntervalMs = 100;

    // verbose: the log lines the window shows only with Debug are events too.
    RunEvents(const UpdateRunner& runner, bool verbose);

    void setProgressIntervalMs(qint64 ms) { m_progressIntervalMs = ms; }
    qint64 progressIntervalMs() const { return m_progressIntervalMs; }
    // The runner's updates are numbered from this one on: a watched fixture has a runner per update.
    void setFirstUpdate(int update) { m_updateOffset = update - 1; }

    // The run's last object: units, outcomes, updates, failed, exit_code, elapsed.
    QJsonObject summary() const;
    // The "finished" object of the unit's last update, its updates numbered from firstUpdate on.
    static QJsonObject finished(const UpdateRunner& runner, const UnitRun& unit, int firstUpdate = 1);

    void updateStarted(const UnitRun& unit) override;
    void connected(const UnitRun& unit) override;
    void phaseChanged(const UnitRun& unit) override;
    void progress(const UnitRun& unit) override;
    void logLine(const UnitRun& unit, const QString& text, bool debugOnly) override;
    void retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay) override;
    void updateFinished(const UnitRun& unit) override;

protected:
    // Each event, as it happens.
    virtual void write(const QJsonObject& event) = 0;

private:
    struct ProgressState
    {
        QElapsedTimer lastWritten;
        bool pending = false;
    };

    QJsonObject unitEvent(const UnitRun& unit, const QString& name) const;
    void writeProgress(const UnitRun& unit);
    void flushProgress(const UnitRun& unit);

    const UpdateRunner& m_runner;
    bool m_verbose;
    qint64 m_progressIntervalMs = DefaultProgressIntervalMs;
    int m_updateOffset = 0;
    std::vector<ProgressState> m_progress;
};
