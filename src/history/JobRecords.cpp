#include "history/JobRecords.h"

#include "engine/UpdateRequest.h"
#include "engine/UpdateResult.h"
#include "settings/ProductVariant.h"

#include <QFileInfo>

namespace JobRecords {

UpdateRecord begin(const UpdateRequest& request, const QString& frontend, const QString& runId)
{
    UpdateRecord record;
    record.frontend = frontend;
    record.product = request.product ? request.product->modelName : QString();
    record.unitHost = request.address.trimmed();
    bool isNumber = false;
    const int port = request.port.trimmed().toInt(&isNumber);
    record.unitPort = isNumber && port > 0 && port <= 65535 ? port : 0;
    const QFileInfo file(request.firmwarePath);
    record.fileName = file.fileName();
    record.filePath = file.absoluteFilePath();
    record.outcome = QStringLiteral("running");
    record.runId = runId;
    return record;
}

namespace {

UpdateEnd end(const UpdateResult& result, const QString& outcome)
{
    UpdateEnd end;
    end.outcome = outcome.isEmpty() ? outcomeName(result.outcome) : outcome;
    if (result.outcome == UpdateOutcome::Refused)
        end.refusalCode = QStringLiteral("%1").arg(result.refusalCode, 2, 16, QLatin1Char('0')).toUpper();
    end.reason = result.reason;
    end.elapsedSeconds = double(result.elapsed.count()) / 1000.0;
    end.recordsSent = result.recordsSent;
    return end;
}

} // namespace

void finish(UpdateHistory& history, HistoryHandle handle, const UpdateResult& result, const QString& outcome)
{
    history.amend(handle, [&result](UpdateRecord& record) {
        if (!result.sha256.isEmpty())
            record.sha256 = result.sha256;
        if (result.recordsToSend > 0)
            record.recordsTotal = result.recordsToSend;
    });
    history.finish(handle, end(result, outcome));
}

} // namespace JobRecords
