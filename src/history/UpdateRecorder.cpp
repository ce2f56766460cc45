#include "history/UpdateRecorder.h"

#include "engine/UpdateRequest.h"
#include "engine/UpdateResult.h"
#include "settings/ProductVariant.h"

#include <QFileInfo>

HistoryHandle UpdateRecorder::begin(const UpdateRequest& request, const RecordedUnit& unit,
                                    const RecordedFirmware& firmware)
{
    if (!m_history)
        return 0;
    UpdateRecord record;
    record.frontend = m_frontend;
    record.product = request.product ? request.product->modelName : QString();
    record.unitHost = request.host.trimmed();
    record.unitPort = request.port;
    const QFileInfo file(request.firmwarePath);
    record.fileName = firmware.name.isEmpty() ? file.fileName() : firmware.name;
    record.filePath = file.absoluteFilePath();
    record.fileSize = firmware.size;
    record.sha256 = firmware.sha256;
    record.recordsTotal = firmware.recordsToSend;
    record.runId = unit.runId;
    record.serial = unit.serial;
    record.lot = unit.lot;
    record.startedBy = unit.startedBy;
    record.fixture = unit.fixture;
    record.attempt = unit.attempt;
    record.signer = firmware.signer;
    record.uuid = unit.uuid;
    return m_history->begin(std::move(record));
}

void UpdateRecorder::line(HistoryHandle handle, const QString& text, bool debugOnly)
{
    if (m_history)
        m_history->addLine(handle, text, debugOnly);
}

void UpdateRecorder::recordsSent(HistoryHandle handle, qint64 records)
{
    if (m_history)
        m_history->setRecordsSent(handle, records);
}

void UpdateRecorder::finish(HistoryHandle handle, const UpdateResult& result, bool interrupted)
{
    if (!m_history || handle == 0)
        return;
    m_history->amend(handle, [&result](UpdateRecord& record) {
        if (!result.sha256.isEmpty())
            record.sha256 = result.sha256;
        if (result.recordsToSend > 0)
            record.recordsTotal = result.recordsToSend;
    });
    UpdateEnd end;
    end.outcome = interrupted ? QStringLiteral("interrupted") : outcomeName(result.outcome);
    end.refusalCode = refusalCodeText(result);
    end.reason = result.reason;
    end.elapsedSeconds = double(result.elapsed.count()) / 1000.0;
    end.recordsSent = result.recordsSent;
    m_history->finish(handle, end);
}
