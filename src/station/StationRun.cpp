#include "station/StationRun.h"

#include "settings/ProductVariant.h"

#include <QJsonArray>

#include <algorithm>

namespace {

// The stored file is named by its SHA-256; the history keeps the name it was uploaded with.
RecordedFirmware recorded(const StoredFirmware& firmware)
{
    return {firmware.name, firmware.size, firmware.sha256, firmware.toSend, firmware.signer};
}

} // namespace

StationRun::StationRun(QString id, const StoredFirmware& firmware, UpdateRunner::Plan plan, EventHub& hub,
                       UpdateHistory& history, RunObserver* watcher, Webhooks* webhooks, QObject* parent)
    : QObject(parent), m_id(std::move(id)), m_firmware(firmware), m_created(QDateTime::currentDateTimeUtc()),
      m_runner(std::move(plan)), m_events(m_runner, m_id, hub),
      m_recorder(m_runner, UpdateRecorder(&history, QStringLiteral("station")), m_id, recorded(firmware))
{
    // The record first: an update is in the journal by the time its end is on the event stream.
    m_runner.addObserver(&m_recorder);
    m_runner.addObserver(&m_events);
    if (watcher)
        m_runner.addObserver(watcher);
    if (webhooks) {
        m_webhook =
            std::make_unique<WebhookReporter>(m_runner, m_recorder, m_id, m_firmware.sha256, 1, *webhooks);
        m_runner.addObserver(m_webhook.get());
    }
    connect(&m_runner, &UpdateRunner::allFinished, this, &StationRun::onAllFinished);
}

void StationRun::start()
{
    m_events.publish(runEvent());
    m_runner.start();
}

void StationRun::cancel()
{
    if (m_state == State::Running)
        m_runner.interrupt();
}

QJsonObject StationRun::runEvent() const
{
    QJsonObject event;
    event[QStringLiteral("event")] = QStringLiteral("run");
    event[QStringLiteral("state")] = stateName(m_state);
    return event;
}

void StationRun::onAllFinished()
{
    m_state = m_runner.interrupted() ? State::Cancelled : State::Finished;
    m_events.publish(m_events.summary());
    m_events.publish(runEvent());
    emit ended();
}

QStringList StationRun::activeUnits() const
{
    QStringList units;
    if (m_state != State::Running)
        return units;
    for (const UnitRun& run : m_runner.units())
        if (run.state != UnitRun::State::Ended)
            units << run.label;
    return units;
}

RunRequest StationRun::retryOfFailed() const
{
    const UpdateRunner::Plan& plan = m_runner.plan();
    RunRequest request;
    request.firmware = m_firmware.sha256;
    request.product = plan.request.product;
    request.parallel = plan.parallel;
    request.lot = plan.lot;
    request.retries = plan.retries;
    for (const UnitRun& run : m_runner.units())
        if (!run.succeeded())
            request.units << plan.units.at(run.index);
    return request;
}

int StationRun::unitsAtOnce() const
{
    const int units = int(m_runner.units().size());
    const int parallel = m_runner.plan().parallel;
    return parallel > 0 ? std::min(parallel, units) : units;
}

QString StationRun::stateName(State state)
{
    switch (state) {
    case State::Running:
        return QStringLiteral("running");
    case State::Finished:
        return QStringLiteral("finished");
    case State::Cancelled:
        return QStringLiteral("cancelled");
    }
    return {};
}

QJsonObject StationRun::toJson() const
{
    QJsonArray units;
    for (const UnitRun& run : m_runner.units()) {
        QJsonObject unit;
        unit[QStringLiteral("unit")] = run.label;
        unit[QStringLiteral("serial")] =
            run.serial.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(run.serial);
        unit[QStringLiteral("attempt")] = run.attempt;
        const bool ended = run.state == UnitRun::State::Ended;
        if (run.state == UnitRun::State::Waiting)
            unit[QStringLiteral("phase")] = QStringLiteral("waiting");
        else
            unit[QStringLiteral("phase")] = UpdateJob::phaseName(ended ? UpdateJob::Phase::Done : run.phase);
        const qint64 records = ended && run.lastResult ? run.lastResult->recordsSent : run.records;
        unit[QStringLiteral("records")] = double(records);
        unit[QStringLiteral("total")] = double(m_firmware.toSend);
        unit[QStringLiteral("outcome")] = ended ? QJsonValue(run.outcome()) : QJsonValue(QJsonValue::Null);
        const bool failed = ended && run.lastResult && !run.succeeded();
        unit[QStringLiteral("reason")] = failed && !run.lastResult->reason.isEmpty()
                                             ? QJsonValue(run.lastResult->reason)
                                             : QJsonValue(QJsonValue::Null);
        units.append(unit);
    }
    QJsonObject object;
    object[QStringLiteral("id")] = m_id;
    // Cancelled from the moment every connection closed, before the run's end is posted.
    object[QStringLiteral("state")] = stateName(m_runner.interrupted() ? State::Cancelled : m_state);
    object[QStringLiteral("firmware")] = m_firmware.sha256;
    object[QStringLiteral("name")] = m_firmware.name;
    object[QStringLiteral("product")] = m_runner.plan().request.product->modelName;
    object[QStringLiteral("parallel")] = m_runner.plan().parallel;
    object[QStringLiteral("lot")] =
        m_runner.plan().lot.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(m_runner.plan().lot);
    object[QStringLiteral("retries")] = m_runner.plan().retries;
    object[QStringLiteral("started_by")] = m_runner.plan().startedBy.isEmpty()
                                               ? QJsonValue(QJsonValue::Null)
                                               : QJsonValue(m_runner.plan().startedBy);
    object[QStringLiteral("created")] = m_created.toString(Qt::ISODateWithMs);
    object[QStringLiteral("units")] = units;
    return object;
}
