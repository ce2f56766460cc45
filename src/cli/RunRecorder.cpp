#include "cli/RunRecorder.h"

#include "cli/UpdateRunner.h"
#include "history/JobRecords.h"

RunRecorder::RunRecorder(UpdateRunner& runner, UpdateHistory& history, bool verbose, QObject* parent)
    : QObject(parent), m_runner(runner), m_history(history), m_handles(runner.units().size(), 0)
{
    connect(&runner, &UpdateRunner::updateStarted, this, &RunRecorder::onStarted);
    connect(&runner, &UpdateRunner::logLine, this,
            [this, verbose](int unit, const QString& text, bool debugOnly) {
                if (!debugOnly || verbose)
                    m_history.addLine(m_handles[size_t(unit)], text, debugOnly);
            });
    connect(&runner, &UpdateRunner::progress, this, [this](int unit) {
        m_history.setRecordsSent(m_handles[size_t(unit)], m_runner.units()[size_t(unit)].records);
    });
    connect(&runner, &UpdateRunner::updateFinished, this, &RunRecorder::onFinished);
}

void RunRecorder::onStarted(int unit)
{
    const UnitRun& run = m_runner.units()[size_t(unit)];
    UpdateRequest request = m_runner.plan().request;
    request.address = run.address.host;
    request.port = QString::number(run.address.port);
    m_handles[size_t(unit)] = m_history.begin(JobRecords::begin(request, QStringLiteral("cli")));
}

void RunRecorder::onFinished(int unit)
{
    const HistoryHandle handle = std::exchange(m_handles[size_t(unit)], 0);
    if (handle == 0)
        return;
    const UnitRun& run = m_runner.units()[size_t(unit)];
    const UpdateResult& result = *run.lastResult;
    JobRecords::finish(m_history, handle, result, run.interrupted ? run.outcome() : QString());
}
