#include "station/StationHistory.h"

#include "engine/UpdateRequest.h"
#include "history/JobRecords.h"

StationHistory::StationHistory(QObject* parent) : QObject(parent)
{
    connect(&m_history, &UpdateHistory::warning, this, [this](const QString& message) {
        m_warnings.append(message);
        emit warning(message);
    });
}

void StationHistory::open(const HistoryLocation& location)
{
    m_history.open(location);
}

bool StationHistory::close(int timeoutMs)
{
    m_handles.clear();
    return m_history.close(timeoutMs);
}

QString StationHistory::key(const UpdateIdentity& update)
{
    // A unit's updates within a run follow one another: run and unit name the one under way.
    return update.run + u' ' + update.unit;
}

void StationHistory::updateStarted(const UpdateIdentity& update, const QDateTime& at)
{
    UpdateRequest request;
    request.address = update.unitHost;
    request.port = QString::number(update.unitPort);
    request.firmwarePath = update.firmwarePath;
    UpdateRecord record = JobRecords::begin(request, QStringLiteral("station"), update.run);
    record.started = at;
    record.product = update.product;
    // The stored file is named by its SHA-256; the row keeps the name it was uploaded with.
    record.fileName = update.firmwareName;
    record.fileSize = update.firmwareSize;
    record.sha256 = update.firmwareSha256;
    record.recordsTotal = update.recordsToSend;
    const HistoryHandle handle = m_history.begin(std::move(record));
    if (handle != 0)
        m_handles.insert(key(update), handle);
}

void StationHistory::updateLog(const UpdateIdentity& update, const QString& text, bool debugOnly)
{
    if (const HistoryHandle handle = m_handles.value(key(update)))
        m_history.addLine(handle, text, debugOnly);
}

void StationHistory::updateProgress(const UpdateIdentity& update, qint64 recordsSent)
{
    if (const HistoryHandle handle = m_handles.value(key(update)))
        m_history.setRecordsSent(handle, recordsSent);
}

void StationHistory::updateFinished(const UpdateIdentity& update, const UpdateResult& result,
                                    bool interrupted)
{
    // A unit that a cancel stopped before its first update never started one: there is no row.
    const HistoryHandle handle = m_handles.take(key(update));
    if (handle == 0)
        return;
    JobRecords::finish(m_history, handle, result, interrupted ? QStringLiteral("interrupted") : QString());
}
