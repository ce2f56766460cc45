#include "fleet/RunRecorder.h"

#include "fleet/UpdateRunner.h"

#include <QUuid>

#include <utility>

RunRecorder::RunRecorder(const UpdateRunner& runner, UpdateRecorder recorder, QString runId,
                         RecordedFirmware firmware)
    : m_runner(runner), m_recorder(std::move(recorder)), m_runId(std::move(runId)),
      m_firmware(std::move(firmware)), m_handles(runner.units().size(), 0), m_rows(runner.units().size())
{
}

void RunRecorder::updateStarted(const UnitRun& unit)
{
    UpdateRequest request = m_runner.plan().request;
    request.host = unit.address.host;
    request.port = unit.address.port;
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    RecordedUnit recorded{m_runId, unit.serial, m_runner.plan().lot, unit.fixture, unit.attempt};
    recorded.startedBy = m_runner.plan().startedBy;
    recorded.uuid = uuid;
    RecordedFirmware firmware = m_firmware;
    if (firmware.signer.isEmpty())
        firmware.signer = m_runner.plan().signer;
    m_handles[size_t(unit.index)] = m_recorder.begin(request, recorded, firmware);
    m_rows[size_t(unit.index)] = {m_handles[size_t(unit.index)], uuid};
}

void RunRecorder::progress(const UnitRun& unit)
{
    m_recorder.recordsSent(m_handles[size_t(unit.index)], unit.records);
}

void RunRecorder::logLine(const UnitRun& unit, const QString& text, bool debugOnly)
{
    m_recorder.line(m_handles[size_t(unit.index)], text, debugOnly);
}

void RunRecorder::updateFinished(const UnitRun& unit)
{
    m_recorder.finish(std::exchange(m_handles[size_t(unit.index)], 0), *unit.lastResult, unit.interrupted);
}

void RunRecorder::retryScheduled(const UnitRun& unit, std::chrono::milliseconds /*delay*/)
{
    m_recorder.finish(std::exchange(m_handles[size_t(unit.index)], 0), *unit.lastResult, false);
}
