#pragma once

#include "engine/UpdateJob.h"
#include "engine/UpdateRequest.h"
#include "fleet/UnitEntry.h"
#include "fleet/UnitRun.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>

#include <chrono>

#include <optional>
#include <vector>

class QTimer;
class RunObserver;

// Runs the updates of every unit on the event loop: at most `parallel` units at once (and never more
// than the open-file limit allows), each unit's updates one after another until `repeat` have
// succeeded or one fails. An update that ended in a network fault (no connection, the connection
// lost, no reply) starts again from its first frame after 1, 2, 4… seconds, up to `retries` times;
// nothing else is ever retried. What happens goes to the observers, in the order they were added;
// every attempt starts with updateStarted(), an attempt to be retried ends with retryScheduled(),
// every update ends with exactly one updateFinished(), after interrupt() so does every unit not yet
// started, and allFinished() follows once no job is left.
class UpdateRunner : public QObject
{
    Q_OBJECT
public:
    struct Plan
    {
        QList<UnitEntry> units;
        UpdateRequest request; // everything but the unit
        int parallel = 0;      // 0: all at once
        int repeat = 1;
        bool keepGoing = false; // a failed update does not end the unit's repeats
        QString lot;            // the lot or work order every unit of the run belongs to, or empty
        int retries = 0;        // attempts more after a network fault
        QString signer;         // who signed the firmware, when its signature was verified
        QString startedBy;      // who started the run (the station's token name), or empty
    };

    // When more units would run at once than there are file descriptors for (a socket and the
    // open firmware file each), parallel was lowered to `allowed`.
    static constexpr std::chrono::milliseconds FirstRetryDelay{1000};
    // Whether an update that ended so is tried again (when retries are left).
    static bool isRetried(UpdateOutcome outcome);
    // Program time before attempt `attempt` + 1, after attempt `attempt` failed.
    static std::chrono::milliseconds retryDelay(int attempt);

    struct OpenFileClamp
    {
        long limit = 0; // the soft RLIMIT_NOFILE in force
        int allowed = 0;
        int wanted = 0;
    };

    explicit UpdateRunner(Plan plan, QObject* parent = nullptr);
    // Jobs still running are closed without another word to the observers.
    ~UpdateRunner() override;

    // Before start(); the runner does not own it.
    void addObserver(RunObserver* observer) { m_observers.push_back(observer); }

    void start();
    // Ends every update at once, connections closed and nothing more sent; units not started yet
    // end as interrupted too.
    void interrupt();

    const std::vector<UnitRun>& units() const { return m_units; }
    const Plan& plan() const { return m_plan; }
    const std::optional<OpenFileClamp>& openFileClamp() const { return m_clamp; }
    bool interrupted() const { return m_interrupted; }
    // 0 every unit succeeded, 1 one or more failed, 130 interrupted.
    int exitCode() const;
    // Program time since start().
    qint64 elapsedMs() const;
    // How many updates ended with each outcome name ("interrupted" for the interrupted ones).
    const QMap<QString, int>& updateOutcomes() const { return m_updateOutcomes; }

signals:
    void allFinished();

private:
    template <typename Call> void notify(const Call& call)
    {
        for (RunObserver* observer : m_observers)
            call(*observer);
    }
    void startWaitingUnits();
    void startUpdate(int unit);
    void startAttempt(int unit);
    void retryLater(int unit);
    void onJobFinished(int unit, UpdateJob* job, const UpdateResult& result);
    void unitEnded(int unit);

    Plan m_plan;
    std::optional<OpenFileClamp> m_clamp;
    std::vector<RunObserver*> m_observers;
    std::vector<UnitRun> m_units;
    std::vector<UpdateJob*> m_jobs;     // per unit, the job under way
    std::vector<QTimer*> m_retryTimers; // per unit, the wait before its next attempt
    int m_nextWaiting = 0;
    int m_running = 0;
    int m_ended = 0;
    bool m_interrupted = false;
    bool m_allFinishedPosted = false;
    QElapsedTimer m_clock;
    QMap<QString, int> m_updateOutcomes;
};
