#include "station/StationFixtures.h"

#include "fleet/RunRecorder.h"
#include "history/LineText.h"
#include "station/FirmwareStore.h"
#include "station/WebhookReporter.h"

namespace {

// Hands what an update of a fixture tells on to an observer the fixture does not own.
class ObserverRelay : public RunObserver
{
public:
    explicit ObserverRelay(RunObserver& to) : m_to(to) {}
    void updateStarted(const UnitRun& unit) override { m_to.updateStarted(unit); }
    void connected(const UnitRun& unit) override { m_to.connected(unit); }
    void phaseChanged(const UnitRun& unit) override { m_to.phaseChanged(unit); }
    void progress(const UnitRun& unit) override { m_to.progress(unit); }
    void logLine(const UnitRun& unit, const QString& text, bool debugOnly) override
    {
        m_to.logLine(unit, text, debugOnly);
    }
    void retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay) override
    {
        m_to.retryScheduled(unit, delay);
    }
    void updateFinished(const UnitRun& unit) override { m_to.updateFinished(unit); }

private:
    RunObserver& m_to;
};

} // namespace

StationFixtures::StationFixtures(const QList<FixtureEntry>& fixtures, qint64 goneAfterMs,
                                 FirmwareStore& store, UpdateHistory& history, UpdateRequest requestTemplate,
                                 QObject* parent)
    : QObject(parent), m_store(store), m_history(history), m_template(std::move(requestTemplate))
{
    for (const FixtureEntry& entry : fixtures)
        m_fixtures.append(new Fixture(entry, goneAfterMs, this));
}

Fixture* StationFixtures::find(const QString& name) const
{
    for (Fixture* fixture : m_fixtures)
        if (fixture->name() == name)
            return fixture;
    return nullptr;
}

bool StationFixtures::firmwareInUse(const QString& sha256) const
{
    for (const Fixture* fixture : m_fixtures)
        if (fixture->watched() && fixture->watchSettings().firmwareSha256 == sha256.toLower())
            return true;
    return false;
}

StationResult<QJsonObject> StationFixtures::watch(Fixture& fixture, const WatchRequest& request)
{
    if (!m_template.product)
        return StationError(
            StationError::Code::BadProduct,
            QStringLiteral("This build is for no known product; start the station with --product."));
    const StoredFirmware* firmware = m_store.find(request.firmware);
    if (!firmware)
        return StationError(StationError::Code::UnknownFirmware,
                            QStringLiteral("No stored firmware has the SHA-256 %1.").arg(request.firmware));
    if (m_signatureRequired && firmware->signer.isEmpty())
        return StationError::unsignedFirmware(firmware->sha256);
    Fixture::Watch watch;
    watch.request = m_template;
    watch.request.firmwarePath = m_store.pathOf(firmware->sha256);
    if (!firmware->signer.isEmpty())
        watch.request.expectedSha256 = firmware->sha256; // what the signature covers, or nothing
    watch.firmwareSha256 = firmware->sha256;
    watch.recordsToSend = firmware->toSend;
    watch.serialRequired = request.serialRequired;
    watch.retries = request.retries;
    watch.signer = firmware->signer;
    watch.startedBy = request.startedBy;
    const RecordedFirmware recorded{firmware->name, firmware->size, firmware->sha256, firmware->toSend,
                                    firmware->signer};
    fixture.setObserverFactory([this, recorded](const UpdateRunner& runner, int update) {
        std::vector<std::unique_ptr<RunObserver>> observers;
        auto recorder = std::make_unique<RunRecorder>(
            runner, UpdateRecorder(&m_history, QStringLiteral("station")), QString(), recorded);
        const RunRecorder& rows = *recorder;
        observers.push_back(std::move(recorder));
        if (m_watcher)
            observers.push_back(std::make_unique<ObserverRelay>(*m_watcher));
        if (m_webhooks)
            observers.push_back(std::make_unique<WebhookReporter>(runner, rows, QString(), recorded.sha256,
                                                                  update, *m_webhooks));
        return observers;
    });
    fixture.watch(watch);
    return toJson(fixture);
}

StationResult<QJsonObject> StationFixtures::setSerial(Fixture& fixture, const QString& text)
{
    const QString serial = LineText::checked(text);
    if (serial.isEmpty())
        return StationError(StationError::Code::BadSerial,
                            QStringLiteral("\"serial\" must be printable text of 1 to %1 characters.")
                                .arg(LineText::MaxLength));
    fixture.setSerial(serial);
    return toJson(fixture);
}

QMap<QString, int> StationFixtures::stateCounts() const
{
    QMap<QString, int> counts; // every state, from 0
    for (int state = int(Fixture::State::Idle); state <= int(Fixture::State::Failed); ++state)
        counts[Fixture::stateName(Fixture::State(state))] = 0;
    for (const Fixture* fixture : m_fixtures)
        ++counts[Fixture::stateName(fixture->state())];
    return counts;
}

void StationFixtures::stopAll()
{
    for (Fixture* fixture : std::as_const(m_fixtures))
        fixture->stopWatching();
}

QJsonObject StationFixtures::toJson(const Fixture& fixture) const
{
    const auto orNull = [](const QString& text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    const Fixture::State state = fixture.state();
    const bool ended = state == Fixture::State::Done || state == Fixture::State::Failed;
    const std::optional<UpdateResult> result = fixture.lastResult();
    QJsonObject object;
    object[QStringLiteral("name")] = fixture.name();
    object[QStringLiteral("unit")] = fixture.address().label();
    object[QStringLiteral("state")] = Fixture::stateName(state);
    object[QStringLiteral("firmware")] =
        fixture.watched() ? orNull(fixture.watchSettings().firmwareSha256) : QJsonValue();
    object[QStringLiteral("serial")] = orNull(fixture.serial());
    QString outcome;
    QString reason;
    if (ended && result) {
        outcome = fixture.lastInterrupted() ? QStringLiteral("interrupted") : outcomeName(result->outcome);
        if (state == Fixture::State::Failed)
            reason = result->reason;
    }
    object[QStringLiteral("outcome")] = orNull(outcome);
    object[QStringLiteral("reason")] = orNull(reason);
    object[QStringLiteral("records")] =
        double(state == Fixture::State::Updating || ended ? fixture.records() : 0);
    object[QStringLiteral("total")] = double(fixture.watched() ? fixture.watchSettings().recordsToSend : 0);
    return object;
}
