#pragma once

#include "cli/RunEvents.h"
#include "cli/UpdateRunner.h"
#include "station/FirmwareStore.h"
#include "station/UpdateRecorder.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QObject>

class EventHub;

// One run of the station: a firmware file to a list of units, on uploader-cli's UpdateRunner.
// Its events go to the EventHub with the run's id; so do each update's start, log and end.
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

    StationRun(QString id, const StoredFirmware& firmware, QString product, UpdateRunner::Plan plan,
               EventHub& hub, QObject* parent = nullptr);

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
    void setProgressIntervalMs(qint64 ms) { m_events.setProgressIntervalMs(ms); }

    QJsonObject toJson() const;
    static QString stateName(State state);

signals:
    void ended();

private:
    UpdateIdentity identity(int unit) const;
    QJsonObject runEvent() const;
    void onAllFinished();

    QString m_id;
    StoredFirmware m_firmware;
    QString m_product;
    QDateTime m_created;
    EventHub& m_hub;
    UpdateRunner m_runner;
    RunEvents m_events;
    QHash<QString, int> m_unitIndex; // by host:port
    State m_state = State::Running;
};
