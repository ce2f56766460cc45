#include "cli/RunEvents.h"

#include "cli/UpdateRunner.h"

#include <QJsonArray>
#include <QMap>

namespace {

double seconds(qint64 ms)
{
    return double(ms) / 1000.0;
}

} // namespace

RunEvents::RunEvents(UpdateRunner& runner, bool verbose, QObject* parent)
    : QObject(parent), m_runner(runner), m_verbose(verbose), m_progress(runner.units().size())
{
    connect(&runner, &UpdateRunner::updateStarted, this,
            [this](int unit) { emit event(unitEvent(unit, QStringLiteral("started"))); });
    connect(&runner, &UpdateRunner::connected, this,
            [this](int unit) { emit event(unitEvent(unit, QStringLiteral("connected"))); });
    connect(&runner, &UpdateRunner::progress, this, &RunEvents::onProgress);
    connect(&runner, &UpdateRunner::phaseChanged, this, [this](int unit) {
        if (m_runner.units()[size_t(unit)].phase == UpdateJob::Phase::Settling)
            flushProgress(unit); // the last record went out
    });
    connect(&runner, &UpdateRunner::logLine, this, [this](int unit, const QString& text, bool debugOnly) {
        if (debugOnly && !m_verbose)
            return;
        QJsonObject object = unitEvent(unit, QStringLiteral("log"));
        object[QStringLiteral("text")] = text;
        object[QStringLiteral("debug")] = debugOnly;
        emit event(object);
    });
    connect(&runner, &UpdateRunner::updateFinished, this, &RunEvents::onUpdateFinished);
}

QJsonObject RunEvents::unitEvent(int unit, const QString& name) const
{
    const UnitRun& run = m_runner.units()[size_t(unit)];
    QJsonObject object;
    object[QStringLiteral("unit")] = run.label;
    object[QStringLiteral("event")] = name;
    if (run.update > 0)
        object[QStringLiteral("update")] = run.update;
    return object;
}

void RunEvents::onProgress(int unit)
{
    ProgressState& state = m_progress[size_t(unit)];
    if (state.lastWritten.isValid() && state.lastWritten.elapsed() < m_progressIntervalMs) {
        state.pending = true;
        return;
    }
    emitProgress(unit);
}

void RunEvents::flushProgress(int unit)
{
    if (m_progress[size_t(unit)].pending)
        emitProgress(unit);
}

void RunEvents::emitProgress(int unit)
{
    ProgressState& state = m_progress[size_t(unit)];
    state.pending = false;
    state.lastWritten.start();
    const UnitRun& run = m_runner.units()[size_t(unit)];
    QJsonObject object = unitEvent(unit, QStringLiteral("progress"));
    object[QStringLiteral("bytes")] = double(run.bytes);
    object[QStringLiteral("total")] = double(run.fileSize);
    object[QStringLiteral("records")] = double(run.records);
    emit event(object);
}

void RunEvents::onUpdateFinished(int unit)
{
    flushProgress(unit);
    const UnitRun& run = m_runner.units()[size_t(unit)];
    const UpdateResult& result = *run.lastResult;
    QJsonObject object = unitEvent(unit, QStringLiteral("finished"));
    object[QStringLiteral("outcome")] = run.interrupted ? run.outcome() : outcomeName(result.outcome);
    object[QStringLiteral("elapsed")] = seconds(result.elapsed.count());
    object[QStringLiteral("records")] = double(result.recordsSent);
    object[QStringLiteral("sha256")] = result.sha256.isEmpty() ? QJsonValue() : QJsonValue(result.sha256);
    if (!result.reason.isEmpty())
        object[QStringLiteral("reason")] = result.reason;
    if (result.outcome == UpdateOutcome::Refused)
        object[QStringLiteral("refusal_code")] =
            QStringLiteral("%1").arg(result.refusalCode, 2, 16, QLatin1Char('0')).toUpper();
    m_progress[size_t(unit)] = {};
    emit event(object);
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
