#include "cli/JsonEventWriter.h"

#include "cli/ConsoleOutput.h"
#include "cli/UpdateRunner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>

namespace {

constexpr qint64 ProgressIntervalMs = 100;

double seconds(qint64 ms)
{
    return double(ms) / 1000.0;
}

} // namespace

JsonEventWriter::JsonEventWriter(UpdateRunner& runner, bool verbose, QObject* parent)
    : QObject(parent), m_runner(runner), m_verbose(verbose), m_progress(runner.units().size())
{
    connect(&runner, &UpdateRunner::updateStarted, this,
            [this](int unit) { write(unitEvent(unit, QStringLiteral("started"))); });
    connect(&runner, &UpdateRunner::connected, this,
            [this](int unit) { write(unitEvent(unit, QStringLiteral("connected"))); });
    connect(&runner, &UpdateRunner::progress, this, &JsonEventWriter::onProgress);
    connect(&runner, &UpdateRunner::phaseChanged, this, [this](int unit) {
        if (m_runner.units()[size_t(unit)].phase == UpdateJob::Phase::Settling)
            flushProgress(unit); // the last record went out
    });
    connect(&runner, &UpdateRunner::logLine, this, [this](int unit, const QString& text, bool debugOnly) {
        if (debugOnly && !m_verbose)
            return;
        QJsonObject event = unitEvent(unit, QStringLiteral("log"));
        event[QStringLiteral("text")] = text;
        event[QStringLiteral("debug")] = debugOnly;
        write(event);
    });
    connect(&runner, &UpdateRunner::updateFinished, this, [this](int unit) {
        flushProgress(unit);
        const UnitRun& run = m_runner.units()[size_t(unit)];
        const UpdateResult& result = *run.lastResult;
        QJsonObject event = unitEvent(unit, QStringLiteral("finished"));
        event[QStringLiteral("outcome")] = run.interrupted ? run.outcome() : outcomeName(result.outcome);
        event[QStringLiteral("elapsed")] = seconds(result.elapsed.count());
        event[QStringLiteral("records")] = double(result.recordsSent);
        event[QStringLiteral("sha256")] = result.sha256.isEmpty() ? QJsonValue() : QJsonValue(result.sha256);
        if (!result.reason.isEmpty())
            event[QStringLiteral("reason")] = result.reason;
        if (result.outcome == UpdateOutcome::Refused)
            event[QStringLiteral("refusal_code")] =
                QStringLiteral("%1").arg(result.refusalCode, 2, 16, QLatin1Char('0')).toUpper();
        write(event);
        m_progress[size_t(unit)] = {};
    });
}

QJsonObject JsonEventWriter::unitEvent(int unit, const QString& event) const
{
    const UnitRun& run = m_runner.units()[size_t(unit)];
    QJsonObject object;
    object[QStringLiteral("unit")] = run.label;
    object[QStringLiteral("event")] = event;
    if (run.update > 0)
        object[QStringLiteral("update")] = run.update;
    return object;
}

void JsonEventWriter::onProgress(int unit)
{
    ProgressState& state = m_progress[size_t(unit)];
    if (state.lastWritten.isValid() && state.lastWritten.elapsed() < ProgressIntervalMs) {
        state.pending = true;
        return;
    }
    writeProgress(unit);
}

void JsonEventWriter::flushProgress(int unit)
{
    if (m_progress[size_t(unit)].pending)
        writeProgress(unit);
}

void JsonEventWriter::writeProgress(int unit)
{
    ProgressState& state = m_progress[size_t(unit)];
    state.pending = false;
    state.lastWritten.start();
    const UnitRun& run = m_runner.units()[size_t(unit)];
    QJsonObject event = unitEvent(unit, QStringLiteral("progress"));
    event[QStringLiteral("bytes")] = double(run.bytes);
    event[QStringLiteral("total")] = double(run.fileSize);
    event[QStringLiteral("records")] = double(run.records);
    write(event);
}

void JsonEventWriter::writeSummary()
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
    QJsonObject summary;
    summary[QStringLiteral("event")] = QStringLiteral("summary");
    summary[QStringLiteral("units")] = int(m_runner.units().size());
    summary[QStringLiteral("outcomes")] = outcomes;
    QJsonObject updates;
    for (auto it = m_runner.updateOutcomes().cbegin(); it != m_runner.updateOutcomes().cend(); ++it)
        updates[it.key()] = it.value();
    summary[QStringLiteral("updates")] = updates;
    summary[QStringLiteral("failed")] = failed;
    summary[QStringLiteral("exit_code")] = m_runner.exitCode();
    summary[QStringLiteral("elapsed")] = seconds(m_runner.elapsedMs());
    write(summary);
}

void JsonEventWriter::write(const QJsonObject& object)
{
    ConsoleOutput::write(stdout, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}
