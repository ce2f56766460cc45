#pragma once

#include "fleet/RunRecorder.h"
#include "fleet/UpdateRunner.h"
#include "station/FirmwareStore.h"
#include "station/RunEventStream.h"
#include "station/RunRequest.h"
#include "station/WebhookReporter.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>

#include <memory>

class EventHub;
class UpdateHistory;
class Webhooks;

// One run of the station: a firmware file to a list of units, on the runner of src/fleet. Its
// events go to the EventHub with the run's id, and every update is recorded in the history.
class StationRun : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Running,
        Finished,
        Cancelled,
    };

    // watcher: told of every update too (the station's metrics); webhooks: posted each finished
    // update. Either may be null.
    StationRun(QString id, const StoredFirmware& firmware, UpdateRunner::Plan plan, EventHub& hub,
               UpdateHistory& history, RunObserver* watcher = nullptr, Webhooks* webhooks = nullptr,
               QObject* parent = nullptr);

    void start();
    // Every connection of the run closed at once; its units end as interrupted.
    void cancel();

    const QString& id() const { return m_id; }
    State state() const { return m_state; }
    bool running() const { return m_state == State::Running; }
    const QString& firmware() const { return m_firmware.sha256; }
    // The units still being updated or waiting, as host:port.
    QStringList activeUnits() const;
    // How many of its units update at once at most (parallel, or all of them).
    int unitsAtOnce() const;
    // A run of the same firmware, settings and lot for the units whose update did not succeed.
    RunRequest retryOfFailed() const;
    void setProgressIntervalMs(qint64 ms) { m_events.setProgressIntervalMs(ms); }

    QJsonObject toJson() const;
    static QString stateName(State state);

signals:
    void ended();

private:
    QJsonObject runEvent() const;
    void onAllFinished();

    QString m_id;
    StoredFirmware m_firmware;
    QDateTime m_created;
    UpdateRunner m_runner;
    RunEventStream m_events;
    RunRecorder m_recorder;
    std::unique_ptr<WebhookReporter> m_webhook;
    State m_state = State::Running;
};
