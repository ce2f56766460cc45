#include "fleet/Fixture.h"

#include <algorithm>

Fixture::Fixture(FixtureEntry entry, qint64 goneAfterMs, QObject* parent)
    : QObject(parent), m_entry(std::move(entry)), m_goneAfterMs(goneAfterMs), m_probe(this),
      m_probeTimer(this)
{
    m_probeTimer.setSingleShot(true);
    connect(&m_probeTimer, &QTimer::timeout, this, &Fixture::probe);
    connect(&m_probe, &UnitProbe::finished, this, &Fixture::onProbed);
}

Fixture::~Fixture() = default;

qint64 Fixture::realMs(qint64 programMs) const
{
    return m_watch.request.timings.real(std::chrono::milliseconds(programMs)).count();
}

void Fixture::watch(const Watch& watch)
{
    m_watch = watch;
    if (m_watched)
        return;
    m_watched = true;
    setState(State::Empty);
    probe();
}

void Fixture::stopWatching()
{
    if (!m_watched)
        return;
    m_watched = false;
    m_nextSerial.clear();
    m_probeTimer.stop();
    m_probe.cancel();
    const bool updating = m_state == State::Updating;
    setState(State::Idle);
    if (updating && m_runner)
        m_runner->interrupt();
}

void Fixture::setSerial(const QString& serial)
{
    m_nextSerial = serial;
    if (m_state == State::WaitingForSerial)
        startUpdate();
    else
        emit progressed();
}

QString Fixture::serial() const
{
    if (m_state == State::Updating || m_state == State::Done || m_state == State::Failed)
        return m_serial;
    return m_nextSerial;
}

void Fixture::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

// At most one probe a second, counted from the start of the last one.
void Fixture::probeSoon()
{
    const qint64 interval = realMs(ProbeIntervalMs);
    m_probeTimer.start(int(std::max<qint64>(0, interval - m_sinceProbeStarted.elapsed())));
}

void Fixture::probe()
{
    if (!m_watched || m_state == State::Updating)
        return;
    m_sinceProbeStarted.start();
    const qint64 limit = std::min<qint64>(ProbeIntervalMs, m_watch.request.timings.connectLimit.count());
    m_probe.probe(m_entry.address, int(std::max<qint64>(1, realMs(limit))));
}

void Fixture::onProbed(bool answered)
{
    if (!m_watched || m_state == State::Updating)
        return;
    if (answered) {
        m_sinceAnswered.start();
        if (m_state == State::Empty) {
            if (m_watch.serialRequired && m_nextSerial.isEmpty())
                setState(State::WaitingForSerial);
            else {
                startUpdate();
                return;
            }
        }
    } else if (m_state != State::Empty && m_sinceAnswered.elapsed() >= realMs(m_goneAfterMs)) {
        // The unit has been taken out; a serial scanned for it is not the next unit's.
        if (m_state == State::WaitingForSerial)
            m_nextSerial.clear();
        setState(State::Empty);
    }
    probeSoon();
}

void Fixture::startUpdate()
{
    m_probeTimer.stop();
    m_probe.cancel();
    m_serial = m_nextSerial;
    m_nextSerial.clear();
    m_records = 0;
    m_lastResult.reset();
    m_lastInterrupted = false;
    ++m_updates;

    UpdateRunner::Plan plan;
    plan.units = {UnitEntry{m_entry.address, m_serial, m_entry.name}};
    plan.retries = m_watch.retries;
    plan.lot = m_watch.lot;
    plan.signer = m_watch.signer;
    plan.startedBy = m_watch.startedBy;
    plan.request = m_watch.request;
    // The previous update's runner and observers have long finished.
    m_runner.reset();
    m_observers.clear();
    m_runner = std::make_unique<UpdateRunner>(std::move(plan));
    if (m_factory)
        m_observers = m_factory(*m_runner, m_updates);
    for (const std::unique_ptr<RunObserver>& observer : m_observers)
        m_runner->addObserver(observer.get());
    m_runner->addObserver(this);
    connect(m_runner.get(), &UpdateRunner::allFinished, this, &Fixture::onRunnerFinished);
    setState(State::Updating);
    m_runner->start();
}

void Fixture::progress(const UnitRun& unit)
{
    m_records = unit.records;
    emit progressed();
}

void Fixture::updateFinished(const UnitRun& unit)
{
    if (unit.lastResult) {
        m_lastResult = unit.lastResult;
        m_records = unit.lastResult->recordsSent;
    }
    m_lastInterrupted = unit.interrupted;
}

void Fixture::onRunnerFinished()
{
    if (!m_watched || m_state != State::Updating)
        return;
    // The unit answered for its update; it counts as there until probes say otherwise.
    m_sinceAnswered.start();
    const bool succeeded = m_lastResult && m_lastResult->succeeded() && !m_lastInterrupted;
    setState(succeeded ? State::Done : State::Failed);
    probeSoon();
}

QString Fixture::stateName(State state)
{
    switch (state) {
    case State::Idle:
        return QStringLiteral("idle");
    case State::Empty:
        return QStringLiteral("empty");
    case State::WaitingForSerial:
        return QStringLiteral("waiting-for-serial");
    case State::Updating:
        return QStringLiteral("updating");
    case State::Done:
        return QStringLiteral("done");
    case State::Failed:
        return QStringLiteral("failed");
    }
    return {};
}
