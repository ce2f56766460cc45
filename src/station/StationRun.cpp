#include "station/StationRun.h"

#include "station/EventHub.h"

#include <QJsonArray>

#include <algorithm>

StationRun::StationRun(QString id, const StoredFirmware& firmware, QString product, UpdateRunner::Plan plan,
                       EventHub& hub, QObject* parent)
    : QObject(parent), m_id(std::move(id)), m_firmware(firmware), m_product(std::move(product)),
      m_created(QDateTime::currentDateTimeUtc()), m_hub(hub), m_runner(std::move(plan)),
      m_events(m_runner, false)
{
    for (size_t i = 0; i < m_runner.units().size(); ++i)
        m_unitIndex.insert(m_runner.units()[i].label, int(i));
    connect(&m_events, &RunEvents::event, this, [this](const QJsonObject& event) {
        // The recorders take the records sent at the stream's pace, already coalesced.
        if (event.value(QStringLiteral("event")).toString() == QLatin1String("progress")) {
            const auto unit = m_unitIndex.constFind(event.value(QStringLiteral("unit")).toString());
            if (unit != m_unitIndex.cend())
                m_hub.updateProgress(identity(*unit), event.value(QStringLiteral("records")).toInteger());
        }
        QJsonObject withRun = event;
        withRun[QStringLiteral("run")] = m_id;
        m_hub.publish(withRun);
    });
    connect(&m_runner, &UpdateRunner::updateStarted, this,
            [this](int unit) { m_hub.updateStarted(identity(unit)); });
    connect(&m_runner, &UpdateRunner::logLine, this, [this](int unit, const QString& text, bool debugOnly) {
        m_hub.updateLog(identity(unit), text, debugOnly);
    });
    connect(&m_runner, &UpdateRunner::updateFinished, this, [this](int unit) {
        const UnitRun& run = m_runner.units()[size_t(unit)];
        m_hub.updateFinished(identity(unit), *run.lastResult, run.interrupted);
    });
    connect(&m_runner, &UpdateRunner::allFinished, this, &StationRun::onAllFinished);
}

void StationRun::start()
{
    m_hub.publish(runEvent());
    m_runner.start();
}

void StationRun::cancel()
{
    if (m_state == State::Running)
        m_runner.interrupt();
}

UpdateIdentity StationRun::identity(int unit) const
{
    const UnitRun& run = m_runner.units()[size_t(unit)];
    return {m_id,
            run.label,
            run.update,
            m_firmware.sha256,
            m_firmware.name,
            m_product,
            run.address.host,
            run.address.port,
            m_runner.plan().request.firmwarePath,
            m_firmware.size,
            m_firmware.toSend};
}

QJsonObject StationRun::runEvent() const
{
    QJsonObject event;
    event[QStringLiteral("event")] = QStringLiteral("run");
    event[QStringLiteral("run")] = m_id;
    event[QStringLiteral("state")] = stateName(m_state);
    return event;
}

void StationRun::onAllFinished()
{
    m_state = m_runner.interrupted() ? State::Cancelled : State::Finished;
    QJsonObject summary = m_events.summary();
    summary[QStringLiteral("run")] = m_id;
    m_hub.publish(summary);
    m_hub.publish(runEvent());
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
    object[QStringLiteral("product")] = m_product;
    object[QStringLiteral("parallel")] = m_runner.plan().parallel;
    object[QStringLiteral("created")] = m_created.toString(Qt::ISODateWithMs);
    object[QStringLiteral("units")] = units;
    return object;
}
