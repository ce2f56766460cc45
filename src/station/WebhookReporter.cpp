#include "station/WebhookReporter.h"

#include "fleet/RunEvents.h"
#include "fleet/RunRecorder.h"
#include "fleet/UpdateRunner.h"
#include "station/Webhooks.h"

#include <QDateTime>
#include <QSysInfo>

namespace {

QJsonValue orNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

WebhookReporter::WebhookReporter(const UpdateRunner& runner, const RunRecorder& recorder, QString runId,
                                 QString firmwareSha256, int firstUpdate, Webhooks& webhooks)
    : m_runner(runner), m_recorder(recorder), m_runId(std::move(runId)),
      m_firmwareSha256(std::move(firmwareSha256)), m_firstUpdate(firstUpdate), m_webhooks(webhooks)
{
}

void WebhookReporter::updateFinished(const UnitRun& unit)
{
    if (unit.update == 0 || !m_webhooks.enabled())
        return;
    QJsonObject object = RunEvents::finished(m_runner, unit, m_firstUpdate);
    if (object.value(QStringLiteral("sha256")).isNull())
        object[QStringLiteral("sha256")] = orNull(m_firmwareSha256);
    object[QStringLiteral("serial")] = orNull(unit.serial);
    object[QStringLiteral("lot")] = orNull(m_runner.plan().lot);
    object[QStringLiteral("fixture")] = orNull(unit.fixture);
    object[QStringLiteral("run")] = orNull(m_runId);
    object[QStringLiteral("signer")] = orNull(m_runner.plan().signer);
    object[QStringLiteral("station")] = QSysInfo::machineHostName();
    object[QStringLiteral("time")] = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const RunRecorder::Row& row = m_recorder.row(unit.index);
    object[QStringLiteral("uuid")] = row.uuid;
    m_webhooks.post(object, row.handle);
}
