#pragma once

#include "cli/UnitRun.h"
#include "engine/UpdateJob.h"
#include "engine/UpdateRequest.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>

#include <vector>

// Runs the updates of every unit on the event loop: at most `parallel` units at once, each unit's
// updates one after another until `repeat` have succeeded or one fails. Every update that starts
// ends with exactly one updateFinished(); after interrupt() so does every unit not yet started,
// and allFinished() follows once no job is left.
class UpdateRunner : public QObject
{
    Q_OBJECT
public:
    struct Plan
    {
        QList<UnitAddress> units;
        UpdateRequest request; // everything but the address and port
        int parallel = 0;      // 0: all at once
        int repeat = 1;
        bool keepGoing = false; // a failed update does not end the unit's repeats
    };

    explicit UpdateRunner(Plan plan, QObject* parent = nullptr);
    // Jobs still running are closed without another signal.
    ~UpdateRunner() override;

    void start();
    // Ends every update at once, connections closed and nothing more sent; units not started yet
    // end as interrupted too.
    void interrupt();

    const std::vector<UnitRun>& units() const { return m_units; }
    const Plan& plan() const { return m_plan; }
    bool interrupted() const { return m_interrupted; }
    // 0 every unit succeeded, 1 one or more failed, 130 interrupted.
    int exitCode() const;
    // Program time since start().
    qint64 elapsedMs() const;
    // How many updates ended with each outcome name ("interrupted" for the interrupted ones).
    const QMap<QString, int>& updateOutcomes() const { return m_updateOutcomes; }

signals:
    void updateStarted(int unit);
    void connected(int unit);
    void phaseChanged(int unit);
    void progress(int unit);
    void logLine(int unit, const QString& text, bool debugOnly);
    // The unit's lastResult holds the result; UnitRun::interrupted tells an interrupted one.
    void updateFinished(int unit);
    void allFinished();

private:
    void startWaitingUnits();
    void startUpdate(int unit);
    void onJobFinished(int unit, UpdateJob* job, const UpdateResult& result);
    void unitEnded(int unit);

    Plan m_plan;
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
