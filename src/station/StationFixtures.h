#pragma once

#include "fleet/Fixture.h"
#include "station/StationResult.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>

class FirmwareStore;
class UpdateHistory;
class Webhooks;

// The line's fixtures (--fixtures) and their watches. Every update a fixture starts is recorded in
// the history like a run's; probes are not.
class StationFixtures : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxRetries = 10;

    struct WatchRequest
    {
        QString firmware; // SHA-256
        bool serialRequired = false;
        int retries = Fixture::DefaultRetries;
        QString startedBy; // the name of the token that asked
    };

    // template: what every update's request starts from (timings, build title, product).
    StationFixtures(const QList<FixtureEntry>& fixtures, qint64 goneAfterMs, FirmwareStore& store,
                    UpdateHistory& history, UpdateRequest requestTemplate, QObject* parent = nullptr);

    // Only firmware with a verified signature may be watched (--allowed-signers).
    void setSignatureRequired(bool required) { m_signatureRequired = required; }
    // Also sees every update of every fixture (the metrics); set before the first watch.
    void setWatcher(RunObserver* watcher) { m_watcher = watcher; }
    // Posted every finished update of every fixture; set before the first watch.
    void setWebhooks(Webhooks* webhooks) { m_webhooks = webhooks; }
    const QList<Fixture*>& fixtures() const { return m_fixtures; }
    // How many fixtures are in each state, by state name.
    QMap<QString, int> stateCounts() const;
    Fixture* find(const QString& name) const;
    bool firmwareInUse(const QString& sha256) const;

    // unknown-firmware, unsigned-firmware; the fixture must exist (find()).
    StationResult<QJsonObject> watch(Fixture& fixture, const WatchRequest& request);
    // bad-serial: no printable text of 1 to 64 characters.
    StationResult<QJsonObject> setSerial(Fixture& fixture, const QString& serial);
    // Every watch ends (the station stops); updates under way are interrupted.
    void stopAll();

    QJsonObject toJson(const Fixture& fixture) const;

private:
    FirmwareStore& m_store;
    UpdateHistory& m_history;
    UpdateRequest m_template;
    QList<Fixture*> m_fixtures;
    bool m_signatureRequired = false;
    RunObserver* m_watcher = nullptr;
    Webhooks* m_webhooks = nullptr;
};
