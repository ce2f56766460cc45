#include "station/RunRegistry.h"

#include "fleet/RunId.h"
#include "settings/ProductVariant.h"
#include "station/EventHub.h"
#include "station/FirmwareStore.h"

#include <QJsonArray>
#include <QSet>

RunRegistry::RunRegistry(FirmwareStore& store, EventHub& hub, UpdateHistory& history,
                         UpdateRequest requestTemplate, QObject* parent)
    : QObject(parent), m_store(store), m_hub(hub), m_history(history), m_template(std::move(requestTemplate))
{
}

QString RunRegistry::newId() const
{
    for (;;) {
        const QString id = RunId::make();
        if (!find(id))
            return id;
    }
}

StationResult<StationRun*> RunRegistry::start(const RunRequest& request)
{
    const StoredFirmware* firmware = m_store.find(request.firmware);
    if (!firmware)
        return StationError(StationError::Code::UnknownFirmware,
                            QStringLiteral("No stored firmware has the SHA-256 %1.").arg(request.firmware));
    if (m_signatureRequired && firmware->signer.isEmpty())
        return StationError::unsignedFirmware(firmware->sha256);
    QSet<QString> busy;
    int running = 0;
    for (const StationRun* run : std::as_const(m_runs)) {
        if (!run->running())
            continue;
        ++running;
        const QStringList units = run->activeUnits();
        busy.unite(QSet<QString>(units.cbegin(), units.cend()));
    }
    QJsonArray taken;
    for (const UnitEntry& unit : request.units)
        if (busy.contains(unit.address.label()))
            taken.append(unit.address.label());
    if (!taken.isEmpty())
        return StationError(
            StationError::Code::UnitBusy,
            QStringLiteral("%1 of the units are being updated by another run.").arg(taken.size()),
            {{QStringLiteral("units"), taken}});
    if (running >= MaxRunning)
        return StationError(
            StationError::Code::TooManyRuns,
            QStringLiteral("%1 runs are running; start this one when one has ended.").arg(running));

    UpdateRunner::Plan plan;
    plan.units = request.units;
    plan.request = m_template;
    plan.request.firmwarePath = m_store.pathOf(firmware->sha256);
    plan.request.product = request.product;
    plan.parallel = request.parallel;
    plan.lot = request.lot;
    plan.retries = request.retries;
    plan.signer = firmware->signer;
    plan.startedBy = request.startedBy;
    if (!firmware->signer.isEmpty())
        plan.request.expectedSha256 = firmware->sha256; // what the signature covers, or nothing

    auto* run =
        new StationRun(newId(), *firmware, std::move(plan), m_hub, m_history, m_watcher, m_webhooks, this);
    connect(run, &StationRun::ended, this, [this, run] { onRunEnded(run); });
    m_runs.prepend(run);
    rebalanceProgress();
    run->start();
    return run;
}

StationResult<StationRun*> RunRegistry::retryFailed(StationRun& run, const QString& startedBy)
{
    if (run.running())
        return StationError(
            StationError::Code::RunRunning,
            QStringLiteral("The run is still running; retry its failed units once it has ended."));
    RunRequest request = run.retryOfFailed();
    request.startedBy = startedBy;
    if (request.units.isEmpty())
        return StationError(StationError::Code::NothingFailed,
                            QStringLiteral("Every unit of the run was updated; there is nothing to retry."));
    return start(request);
}

StationRun* RunRegistry::find(const QString& id) const
{
    for (StationRun* run : m_runs)
        if (run->id() == id)
            return run;
    return nullptr;
}

bool RunRegistry::firmwareInUse(const QString& sha256) const
{
    for (const StationRun* run : m_runs)
        if (run->running() && run->firmware() == sha256.toLower())
            return true;
    return false;
}

bool RunRegistry::anyRunning() const
{
    for (const StationRun* run : m_runs)
        if (run->running())
            return true;
    return false;
}

void RunRegistry::cancelAll()
{
    const QList<StationRun*> runs = m_runs;
    for (StationRun* run : runs)
        run->cancel();
    if (!anyRunning())
        emit idle();
}

void RunRegistry::onRunEnded(StationRun*)
{
    // Drop the oldest ended runs beyond the bound.
    int ended = 0;
    for (qsizetype i = 0; i < m_runs.size();) {
        StationRun* r = m_runs.at(i);
        if (!r->running() && ++ended > KeptRuns) {
            m_runs.removeAt(i);
            r->deleteLater();
            continue;
        }
        ++i;
    }
    rebalanceProgress();
    if (!anyRunning())
        emit idle();
}

void RunRegistry::rebalanceProgress()
{
    qint64 units = 0;
    for (const StationRun* run : std::as_const(m_runs))
        if (run->running())
            units += run->unitsAtOnce();
    const qint64 interval = std::max(MinProgressIntervalMs, units * 1000 / ProgressBudgetPerSecond);
    for (StationRun* run : std::as_const(m_runs))
        run->setProgressIntervalMs(interval);
}
