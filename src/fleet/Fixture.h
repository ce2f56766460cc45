#pragma once

#include "engine/UpdateRequest.h"
#include "engine/UpdateResult.h"
#include "fleet/FixtureFile.h"
#include "fleet/RunObserver.h"
#include "fleet/UnitProbe.h"
#include "fleet/UpdateRunner.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// A watched fixture updates each unit placed in it, once. While watched it is probed at most once
// a second (UnitProbe: no byte is sent); a unit that answers at an empty fixture is updated, after
// its serial number when one is required. After the update the fixture stays done or failed for as
// long as the unit answers, so a unit left in place is never updated again; once nothing has
// answered for goneAfter, the fixture is empty and the next unit placed there is updated. Probes
// are no updates: only the updates reach the observers, each on a runner of its own.
class Fixture : public QObject, private RunObserver
{
    Q_OBJECT
public:
    enum class State
    {
        Idle, // not watched
        Empty,
        WaitingForSerial,
        Updating,
        Done,
        Failed,
    };

    static constexpr qint64 ProbeIntervalMs = 1000;
    static constexpr qint64 DefaultGoneAfterMs = 3000;
    static constexpr int DefaultRetries = 2;

    struct Watch
    {
        UpdateRequest request; // everything but the unit's address; its timings scale the fixture's waits
        QString firmwareSha256;
        qint64 recordsToSend = 0;
        bool serialRequired = false;
        int retries = DefaultRetries;
        QString signer;    // who signed the firmware, when its signature was verified
        QString lot;       // of every update, or empty
        QString startedBy; // who started watching (the station's token name), or empty
    };

    // The observers of one update, made when it starts (a recorder, an event stream, a display);
    // they live as long as its runner.
    using ObserverFactory =
        std::function<std::vector<std::unique_ptr<RunObserver>>(const UpdateRunner& runner, int update)>;

    Fixture(FixtureEntry entry, qint64 goneAfterMs, QObject* parent = nullptr);
    ~Fixture() override;

    void setObserverFactory(ObserverFactory factory) { m_factory = std::move(factory); }

    // Starts watching, or watches with the new settings from the next unit on.
    void watch(const Watch& watch);
    // Not watched any more: an update under way is interrupted as a cancelled run's are.
    void stopWatching();
    // The serial number of the unit waiting for it, else of the next unit placed.
    void setSerial(const QString& serial);

    const QString& name() const { return m_entry.name; }
    const UnitAddress& address() const { return m_entry.address; }
    State state() const { return m_state; }
    bool watched() const { return m_watched; }
    const Watch& watchSettings() const { return m_watch; }
    // The serial of the update under way or the last one, else the one given for the next unit.
    QString serial() const;
    int updates() const { return m_updates; }
    std::optional<UpdateResult> lastResult() const { return m_lastResult; }
    bool lastInterrupted() const { return m_lastInterrupted; }
    qint64 records() const { return m_records; }
    // The runner of the update under way or the last one; nullptr before the first.
    const UpdateRunner* runner() const { return m_runner.get(); }

    static QString stateName(State state);

signals:
    void stateChanged(Fixture::State state);
    void progressed();

private:
    void progress(const UnitRun& unit) override;
    void updateFinished(const UnitRun& unit) override;

    void setState(State state);
    void probeSoon();
    void probe();
    void onProbed(bool answered);
    void startUpdate();
    void onRunnerFinished();
    qint64 realMs(qint64 programMs) const;

    FixtureEntry m_entry;
    qint64 m_goneAfterMs;
    ObserverFactory m_factory;
    Watch m_watch;
    bool m_watched = false;
    State m_state = State::Idle;
    UnitProbe m_probe;
    QTimer m_probeTimer;
    QElapsedTimer m_sinceProbeStarted;
    QElapsedTimer m_sinceAnswered;
    QString m_serial;     // of the update under way or the last one
    QString m_nextSerial; // given for the unit waiting, or the next one
    int m_updates = 0;
    qint64 m_records = 0;
    std::optional<UpdateResult> m_lastResult;
    bool m_lastInterrupted = false;
    // Declared last: the runner reaches its observers while it is destroyed.
    std::vector<std::unique_ptr<RunObserver>> m_observers;
    std::unique_ptr<UpdateRunner> m_runner;
};
