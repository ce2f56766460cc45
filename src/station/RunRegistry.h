#pragma once

#include "station/RunRequest.h"
#include "station/StationResult.h"
#include "station/StationRun.h"

#include <QList>
#include <QObject>
#include <QStringList>

class EventHub;
class RunObserver;
class FirmwareStore;
class UpdateHistory;
class Webhooks;

// Every run of the station, latest first: those running and the last KeptRuns that ended. A unit
// is in at most one running run at a time. Keeps the event rate bounded: progress per unit at most
// every 250 ms, and slower while many units update, so all runs together send about 100 progress
// events a second at most.
class RunRegistry : public QObject
{
    Q_OBJECT
public:
    static constexpr int KeptRuns = 100;
    static constexpr int MaxRunning = 64;
    static constexpr qint64 MinProgressIntervalMs = 250;
    static constexpr qint64 ProgressBudgetPerSecond = 100;

    // template: what every update's request starts from (timings, build title).
    RunRegistry(FirmwareStore& store, EventHub& hub, UpdateHistory& history, UpdateRequest requestTemplate,
                QObject* parent = nullptr);

    // With release keys, only firmware with a verified signature is run (else unsigned-firmware).
    void setSignatureRequired(bool required) { m_signatureRequired = required; }

    // The new run, started; or unknown-firmware, unit-busy (with the busy units in "units") or
    // too-many-runs (MaxRunning are running).
    StationResult<StationRun*> start(const RunRequest& request);
    // A new run of the units of run `id` whose update did not succeed; run-running while it runs,
    // nothing-failed when every unit succeeded, or what start() refuses.
    StationResult<StationRun*> retryFailed(StationRun& run, const QString& startedBy = {});
    StationRun* find(const QString& id) const;
    const QList<StationRun*>& runs() const { return m_runs; } // latest first
    bool firmwareInUse(const QString& sha256) const;
    bool anyRunning() const;
    // Told of every update of the runs started from now on (the station's metrics).
    void setWatcher(RunObserver* watcher) { m_watcher = watcher; }
    // Posted every finished update of the runs started from now on.
    void setWebhooks(Webhooks* webhooks) { m_webhooks = webhooks; }
    // Every running run ends as cancelled (SIGTERM).
    void cancelAll();

signals:
    // No run is running any more.
    void idle();

private:
    QString newId() const;
    void onRunEnded(StationRun* run);
    void rebalanceProgress();

    FirmwareStore& m_store;
    EventHub& m_hub;
    UpdateHistory& m_history;
    UpdateRequest m_template;
    RunObserver* m_watcher = nullptr;
    Webhooks* m_webhooks = nullptr;
    QList<StationRun*> m_runs;
    bool m_signatureRequired = false;
};
