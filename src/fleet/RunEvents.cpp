#include "fleet/RunEvents.h"

#include "fleet/UpdateRunner.h"

#include <QJsonArray>
#include <QMap>

namespace {

double seconds(qint64 ms)
{
    return double(ms) / 1000.0;
}

QJsonObject unitEvent(const UnitRun& unit, const QString& name, int updateOffset)
{
    QJsonObject object;
    object[QStringLiteral("unit")] = unit.label;
    object[QStringLiteral("event")] = name;
    if (unit.update > 0)
        object[QStringLiteral("update")] = unit.update + updateOffset;
    if (unit.attempt > 1)
        object[QStringLiteral("attempt")] = unit.attempt;
    return object;
}

} // namespace

RunEvents::RunEvents(const UpdateRunner& runner, bool verbose)
    : m_runner(runner), m_verbose(verbose), m_progress(runner.units().size())
{
}

QJsonObject RunEvents::unitEvent(const UnitRun& unit, const QString& name) const
{
    return ::unitEvent(unit, name, m_updateOffset);
}

void RunEvents::updateStarted(const UnitRun& unit)
{
    write(unitEvent(unit, QStringLiteral("started")));
}

void RunEvents::connected(const UnitRun& unit)
{
    write(unitEvent(unit, QStringLiteral("connected")));
}

void RunEvents::phaseChanged(const UnitRun& unit)
{
    if (unit.phase == UpdateJob::Phase::Settling)
        flushProgress(unit); // the last record went out
}

void RunEvents::logLine(const UnitRun& unit, const QString& text, bool debugOnly)
{
    if (debugOnly && !m_verbose)
        return;
    QJsonObject object = unitEvent(unit, QStringLiteral("log"));
    object[QStringLiteral("text")] = text;
    object[QStringLiteral("debug")] = debugOnly;
    write(object);
}

void RunEvents::progress(const UnitRun& unit)
{
    ProgressState& state = m_progress[size_t(unit.index)];
    if (state.lastWritten.isValid() && state.lastWritten.elapsed() < m_progressIntervalMs) {
        state.pending = true;
        return;
    }
    writeProgress(unit);
}

void RunEvents::flushProgress(const UnitRun& unit)
{
    if (m_progress[size_t(unit.index)].pending)
        writeProgress(unit);
}

void RunEvents::writeProgress(const UnitRun& unit)
{
    ProgressState& state = m_progress[size_t(unit.index)];
    state.pending = false;
    state.lastWritten.start();
    QJsonObject object = unitEvent(unit, QStringLiteral("progress"));
    object[QStringLiteral("bytes")] = double(unit.bytes);
    object[QStringLiteral("total")] = double(unit.fileSize);
    object[QStringLiteral("records")] = double(unit.records);
    write(object);
}

void RunEvents::retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay)
{
    flushProgress(unit);
    const UpdateResult& result = *unit.lastResult;
    QJsonObject object = unitEvent(unit, QStringLiteral("retry"));
    object[QStringLiteral("attempt")] = unit.attempt;
    object[QStringLiteral("outcome")] = outcomeName(result.outcome);
    object[QStringLiteral("reason")] = result.reason;
    object[QStringLiteral("delay")] = seconds(delay.count());
    m_progress[size_t(unit.index)] = {};
    write(object);
}

void RunEvents::updateFinished(const UnitRun& unit)
{
    flushProgress(unit);
    m_progress[size_t(unit.index)] = {};
    write(finished(m_runner, unit, m_updateOffset + 1));
}

QJsonObject RunEvents::finished(const UpdateRunner& runner, const UnitRun& unit, int firstUpdate)
{
    const UpdateResult& result = *unit.lastResult;
    QJsonObject object = ::unitEvent(unit, QStringLiteral("finished"), firstUpdate - 1);
    object.remove(QStringLiteral("attempt"));
    object[QStringLiteral("attempts")] = unit.attempt;
    object[QStringLiteral("outcome")] = unit.interrupted ? unit.outcome() : outcomeName(result.outcome);
    object[QStringLiteral("elapsed")] = seconds(result.elapsed.count());
    object[QStringLiteral("records")] = double(result.recordsSent);
    object[QStringLiteral("sha256")] = result.sha256.isEmpty() ? QJsonValue() : QJsonValue(result.sha256);
    if (!runner.plan().signer.isEmpty())
        object[QStringLiteral("signer")] = runner.plan().signer;
    if (!result.reason.isEmpty())
        object[QStringLiteral("reason")] = result.reason;
    if (result.outcome == UpdateOutcome::Refused)
        object[QStringLiteral("refusal_code")] = refusalCodeText(result);
    return object;
}

QJsonObject RunEvents::summary() const
{
    QMap<QString, int> unitOutcomes;
    QJsonArray failed;
    for (const UnitRun& run : m_runner.units()) {
        ++unitOutcomes[run.outcome()];
        if (!run.succeeded())
            failed.append(run.label);
    }
    QJsonObject outcomes;
    for (auto it = unitOutcomes.cbegin(); it != unitOutcomes.cend(); ++it)
        outcomes[it.key()] = it.value();
    QJsonObject object;
    object[QStringLiteral("event")] = QStringLiteral("summary");
    object[QStringLiteral("units")] = int(m_runner.units().size());
    object[QStringLiteral("outcomes")] = outcomes;
    QJsonObject updates;
    for (auto it = m_runner.updateOutcomes().cbegin(); it != m_runner.updateOutcomes().cend(); ++it)
        updates[it.key()] = it.value();
    object[QStringLiteral("updates")] = updates;
    object[QStringLiteral("failed")] = failed;
    object[QStringLiteral("exit_code")] = m_runner.exitCode();
    object[QStringLiteral("elapsed")] = seconds(m_runner.elapsedMs());
    return object;
}
