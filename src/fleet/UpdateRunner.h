#pragma once

#include "engine/UpdateJob.h"
#include "engine/UpdateRequest.h"
#include "fleet/UnitRun.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>

#include <optional>
#include <vector>

class RunObserver;

// Runs the updates of every unit on the event loop: at most `parallel` units at once (and never more
// than the open-file limit allows), each unit's updates one after another until `repeat` have
// succeeded or one fails. What happens goes to the observers, in the order they were added; every
// update that starts ends with exactly one updateFinished(), after interrupt() so does every unit
// not yet started, and allFinished() follows once no job is left.
class UpdateRunner : public QObject
{
    Q_OBJECT
public:
    struct Plan
    {
        QList<UnitAddress> units;
        UpdateRequest request; // everything but the unit
        int parallel = 0;      // 0: all at once
        int repeat = 1;
        bool keepGoing = false; // a failed update does not end the unit's repeats
        QString signer;         // who signed the firmware, when its signature was verified
    };

    // When more units would run at once than there are file descriptors for (a socket and the
    // open firmware file each), parallel was lowered to `allowed`.
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
    void onJobFinished(int unit, UpdateJob* job, const UpdateResult& result);
    void unitEnded(int unit);

    Plan m_plan;
    std::optional<OpenFileClamp> m_clamp;
    std::vector<RunObserver*> m_observers;
    std::vector<UnitRun> m_units;
    std::vector<UpdateJob*> m_jobs; // per unit, the job under way
    int m_nextWaiting = 0;
    int m_running = 0;
    int m_ended = 0;
    bool m_interrupted = false;
    bool m_allFinishedPosted = false;
    QElapsedTimer m_clock;
    QMap<QString, int> m_updateOutcomes;
};
