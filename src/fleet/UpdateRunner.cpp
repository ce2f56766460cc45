#include "fleet/UpdateRunner.h"

#include "fleet/OpenFileLimit.h"
#include "fleet/RunObserver.h"

#include <QTimer>

#include <algorithm>

#include <utility>

UpdateRunner::UpdateRunner(Plan plan, QObject* parent) : QObject(parent), m_plan(std::move(plan))
{
    m_units.resize(size_t(m_plan.units.size()));
    m_jobs.assign(m_units.size(), nullptr);
    m_retryTimers.assign(m_units.size(), nullptr);
    for (size_t i = 0; i < m_units.size(); ++i) {
        m_units[i].index = int(i);
        const UnitEntry& entry = m_plan.units.at(qsizetype(i));
        m_units[i].address = entry.address;
        m_units[i].serial = entry.serial;
        m_units[i].fixture = entry.fixture;
        m_units[i].label = m_units[i].address.label();
    }
    // More at once than there are descriptors for would fail to connect.
    const int units = int(m_units.size());
    const int wanted = m_plan.parallel > 0 ? std::min(m_plan.parallel, units) : units;
    long limit = 0;
    const int allowed = OpenFileLimit::unitsAtOnce(&limit);
    if (wanted > allowed) {
        m_clamp = OpenFileClamp{limit, allowed, wanted};
        m_plan.parallel = allowed;
    }
}

UpdateRunner::~UpdateRunner()
{
    for (UpdateJob* job : m_jobs) {
        if (job) {
            job->disconnect(this);
            delete job;
        }
    }
}

bool UpdateRunner::isRetried(UpdateOutcome outcome)
{
    return outcome == UpdateOutcome::NoConnection || outcome == UpdateOutcome::ConnectionLost ||
           outcome == UpdateOutcome::NoReply;
}

std::chrono::milliseconds UpdateRunner::retryDelay(int attempt)
{
    return FirstRetryDelay * (qint64(1) << std::clamp(attempt - 1, 0, 16));
}

void UpdateRunner::start()
{
    m_clock.start();
    startWaitingUnits();
    if (m_units.empty())
        unitEnded(-1);
}

qint64 UpdateRunner::elapsedMs() const
{
    return m_clock.isValid() ? m_plan.request.timings.programMs(m_clock.nsecsElapsed()) : 0;
}

int UpdateRunner::exitCode() const
{
    if (m_interrupted)
        return 130;
    for (const UnitRun& unit : m_units)
        if (!unit.succeeded())
            return 1;
    return 0;
}

void UpdateRunner::startWaitingUnits()
{
    const int limit = m_plan.parallel > 0 ? m_plan.parallel : int(m_units.size());
    while (!m_interrupted && m_running < limit && m_nextWaiting < int(m_units.size())) {
        const int unit = m_nextWaiting++;
        ++m_running;
        m_units[size_t(unit)].state = UnitRun::State::Running;
        startUpdate(unit);
    }
}

void UpdateRunner::startUpdate(int unit)
{
    UnitRun& run = m_units[size_t(unit)];
    ++run.update;
    run.attempt = 1;
    startAttempt(unit);
}

void UpdateRunner::startAttempt(int unit)
{
    UnitRun& run = m_units[size_t(unit)];
    run.phase = UpdateJob::Phase::Idle;
    run.bytes = run.fileSize = run.records = 0;
    run.sinceConnected.invalidate();

    UpdateRequest request = m_plan.request;
    request.host = run.address.host;
    request.port = run.address.port;
    auto* job = new UpdateJob(std::move(request), this);
    m_jobs[size_t(unit)] = job;

    connect(job, &UpdateJob::logLine, this, [this, unit](const QString& text, bool debugOnly) {
        notify([&](RunObserver& o) { o.logLine(m_units[size_t(unit)], text, debugOnly); });
    });
    connect(job, &UpdateJob::socketStatusChanged, this, [this, unit](const SocketStatus& status) {
        UnitRun& r = m_units[size_t(unit)];
        if (status.isConnected() && !r.sinceConnected.isValid()) {
            r.sinceConnected.start();
            notify([&](RunObserver& o) { o.connected(r); });
        }
    });
    connect(job, &UpdateJob::progress, this, [this, unit](qint64 bytes, qint64 size, qint64 records) {
        UnitRun& r = m_units[size_t(unit)];
        r.bytes = bytes;
        r.fileSize = size;
        r.records = records;
        notify([&](RunObserver& o) { o.progress(r); });
    });
    connect(job, &UpdateJob::phaseChanged, this, [this, unit](UpdateJob::Phase phase) {
        if (phase == UpdateJob::Phase::Done)
            return; // finished() tells
        UnitRun& r = m_units[size_t(unit)];
        r.phase = phase;
        notify([&](RunObserver& o) { o.phaseChanged(r); });
    });
    connect(job, &UpdateJob::finished, this,
            [this, unit, job](const UpdateResult& result) { onJobFinished(unit, job, result); });

    notify([&](RunObserver& o) { o.updateStarted(run); });
    job->start();
}

void UpdateRunner::onJobFinished(int unit, UpdateJob* job, const UpdateResult& result)
{
    job->disconnect(this);
    job->deleteLater(); // it is the sender
    if (m_jobs[size_t(unit)] == job)
        m_jobs[size_t(unit)] = nullptr;

    UnitRun& run = m_units[size_t(unit)];
    UpdateResult shown = result;
    if (m_interrupted && result.outcome == UpdateOutcome::Cancelled) {
        run.interrupted = true;
        shown.reason = QStringLiteral("Interrupted %1.").arg(UpdateJob::phaseWhile(run.phase));
    }
    run.lastResult = shown;
    run.recordsTotal += result.recordsSent;
    run.elapsedMs += result.elapsed.count();
    if (!m_interrupted && isRetried(result.outcome) && run.attempt <= m_plan.retries) {
        retryLater(unit);
        return;
    }
    if (result.succeeded())
        ++run.updatesSucceeded;
    else
        ++run.updatesFailed;
    ++m_updateOutcomes[run.outcome()];
    notify([&](RunObserver& o) { o.updateFinished(run); });

    if ((result.succeeded() || m_plan.keepGoing) && !m_interrupted && run.update < m_plan.repeat) {
        startUpdate(unit);
        return;
    }
    --m_running;
    unitEnded(unit);
    startWaitingUnits();
}

void UpdateRunner::retryLater(int unit)
{
    UnitRun& run = m_units[size_t(unit)];
    const std::chrono::milliseconds delay = retryDelay(run.attempt);
    notify([&](RunObserver& o) { o.retryScheduled(run, delay); });
    QTimer*& timer = m_retryTimers[size_t(unit)];
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, unit] {
            ++m_units[size_t(unit)].attempt;
            startAttempt(unit);
        });
    }
    timer->start(m_plan.request.timings.real(delay));
}

void UpdateRunner::unitEnded(int unit)
{
    if (unit >= 0) {
        m_units[size_t(unit)].state = UnitRun::State::Ended;
        ++m_ended;
    }
    if (m_ended == int(m_units.size()) && !m_allFinishedPosted) {
        m_allFinishedPosted = true;
        // After the job that ended last has returned from its own signal.
        QTimer::singleShot(0, this, &UpdateRunner::allFinished);
    }
}

void UpdateRunner::interrupt()
{
    if (m_interrupted)
        return;
    m_interrupted = true;
    for (size_t unit = 0; unit < m_jobs.size(); ++unit)
        if (UpdateJob* job = m_jobs[unit])
            job->abort(); // finished() comes before abort() returns
    for (size_t unit = 0; unit < m_retryTimers.size(); ++unit) {
        QTimer* timer = m_retryTimers[unit];
        if (!timer || !timer->isActive())
            continue;
        timer->stop();
        UnitRun& run = m_units[unit];
        run.interrupted = true;
        run.lastResult->reason = QStringLiteral("Interrupted before attempt %1.").arg(run.attempt + 1);
        ++run.updatesFailed;
        ++m_updateOutcomes[run.outcome()];
        notify([&](RunObserver& o) { o.updateFinished(run); });
        --m_running;
        unitEnded(int(unit));
    }
    while (m_nextWaiting < int(m_units.size())) {
        const int unit = m_nextWaiting++;
        UnitRun& run = m_units[size_t(unit)];
        run.interrupted = true;
        UpdateResult result;
        result.outcome = UpdateOutcome::Cancelled;
        result.reason = QStringLiteral("Interrupted before it started.");
        run.lastResult = result;
        ++m_updateOutcomes[run.outcome()];
        notify([&](RunObserver& o) { o.updateFinished(run); });
        unitEnded(unit);
    }
}
