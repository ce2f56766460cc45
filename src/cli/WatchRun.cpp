#include "cli/WatchRun.h"

#include "cli/JsonEventWriter.h"
#include "cli/PlainDisplay.h"
#include "cli/SummaryTable.h"
#include "fleet/Fixture.h"
#include "fleet/RunId.h"
#include "fleet/RunRecorder.h"
#include "process/ConsoleOutput.h"
#include "process/InterruptWatcher.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <functional>
#include <utility>

namespace {

constexpr int ExitInterrupted = 130;
constexpr int HistoryCloseTimeoutMs = 5000;

void writeJson(const QJsonObject& object)
{
    ConsoleOutput::write(stdout, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

// What the watch itself wants of each update: the line that a unit was placed, and its outcome.
class UpdateTally : public RunObserver
{
public:
    UpdateTally(std::function<void(const UnitRun&)> started, std::function<void(const UnitRun&)> finished)
        : m_started(std::move(started)), m_finished(std::move(finished))
    {
    }

    void updateStarted(const UnitRun& unit) override
    {
        if (unit.attempt == 1)
            m_started(unit);
    }
    void updateFinished(const UnitRun& unit) override { m_finished(unit); }

private:
    std::function<void(const UnitRun&)> m_started, m_finished;
};

} // namespace

WatchRun::WatchRun(const Options& options, UpdateRequest request, QString signer)
    : m_options(options), m_request(std::move(request)), m_signer(std::move(signer)), m_runId(RunId::make())
{
}

WatchRun::~WatchRun() = default;

int WatchRun::exec(QCoreApplication& app)
{
    m_clock.start();
    if (!m_options.noHistory) {
        // As the run's displays warn: on standard error, and as a JSON event too.
        QObject::connect(&m_history, &UpdateHistory::warning, &m_history, [this](const QString& message) {
            ConsoleOutput::warn(message);
            if (m_options.json)
                writeJson({{QStringLiteral("event"), QStringLiteral("warning")},
                           {QStringLiteral("message"), message}});
        });
        m_history.open(HistoryLocation::resolve(m_options.historyLocation));
    }
    Fixture::Watch watch;
    watch.request = m_request;
    watch.retries = m_options.retries;
    watch.lot = m_options.lot;
    watch.signer = m_signer;
    for (const UnitEntry& unit : m_options.units) {
        auto fixture = std::make_unique<Fixture>(FixtureEntry{unit.address.label(), unit.address},
                                                 Fixture::DefaultGoneAfterMs);
        const QString serial = unit.serial;
        fixture->setObserverFactory([this, serial](const UpdateRunner& runner, int update) {
            std::vector<std::unique_ptr<RunObserver>> observers;
            // Before the display: an update is on record by the time it is shown as finished.
            if (!m_options.noHistory)
                observers.push_back(std::make_unique<RunRecorder>(
                    runner, UpdateRecorder(&m_history, QStringLiteral("cli")), m_runId));
            if (m_options.json) {
                auto events = std::make_unique<JsonEventWriter>(runner, m_options.verbose);
                events->setFirstUpdate(update);
                observers.push_back(std::move(events));
            } else {
                observers.push_back(std::make_unique<PlainDisplay>(runner, m_options.verbose));
            }
            const bool json = m_options.json;
            observers.push_back(std::make_unique<UpdateTally>(
                [json, update](const UnitRun& unit) {
                    if (!json)
                        ConsoleOutput::out(
                            QStringLiteral("%1  unit placed: update %2\n").arg(unit.label).arg(update));
                },
                [this](const UnitRun& unit) { ++m_outcomes[unit.outcome()]; }));
            return observers;
        });
        // A serial from the unit file is the first unit's; the next units placed have none.
        if (!serial.isEmpty())
            fixture->setSerial(serial);
        fixture->watch(watch);
        m_fixtures.push_back(std::move(fixture));
    }
    if (!m_options.json)
        ConsoleOutput::out(QStringLiteral("watching %1 unit address%2; Ctrl+C ends\n")
                               .arg(m_fixtures.size())
                               .arg(m_fixtures.size() == 1 ? QString() : QStringLiteral("es")));

    InterruptWatcher interrupts;
    if (!interrupts.isActive())
        ConsoleOutput::warn(QStringLiteral("cannot catch interrupts: ") + interrupts.errorString());
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &app, [this, &app](int) { finish(app); });
    return app.exec();
}

void WatchRun::finish(QCoreApplication& app)
{
    if (m_finished)
        return; // a second Ctrl+C while the history closes
    m_finished = true;
    ConsoleOutput::error(QStringLiteral("interrupted: watching ended, every update stopped"));
    // Each update under way ends now, its observers told before stopWatching() returns.
    for (const std::unique_ptr<Fixture>& fixture : m_fixtures)
        fixture->stopWatching();
    m_history.close(HistoryCloseTimeoutMs);
    if (const qint64 waiting = m_history.waitingAtClose(); waiting > 0)
        ConsoleOutput::warn(QStringLiteral("%1 recorded on this computer, not yet in the history at %2; "
                                           "uploader-cli history --forward sends them")
                                .arg(waiting)
                                .arg(m_history.location().display()));
    if (m_options.json) {
        QJsonObject updates;
        for (auto it = m_outcomes.cbegin(); it != m_outcomes.cend(); ++it)
            updates[it.key()] = it.value();
        QJsonObject summary;
        summary[QStringLiteral("event")] = QStringLiteral("summary");
        summary[QStringLiteral("run")] = m_runId;
        summary[QStringLiteral("units")] = int(m_fixtures.size());
        summary[QStringLiteral("updates")] = updates;
        summary[QStringLiteral("exit_code")] = ExitInterrupted;
        summary[QStringLiteral("elapsed")] = double(m_clock.elapsed()) / 1000.0;
        writeJson(summary);
    } else {
        ConsoleOutput::out(u'\n' + summaryText() + SummaryTable::runLine(m_runId));
    }
    app.exit(ExitInterrupted);
}

QString WatchRun::summaryText() const
{
    int total = 0;
    QStringList counts;
    for (auto it = m_outcomes.cbegin(); it != m_outcomes.cend(); ++it) {
        total += it.value();
        counts << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    }
    QString text = QStringLiteral("%1 update%2 at %3 watched address%4")
                       .arg(total)
                       .arg(total == 1 ? QString() : QStringLiteral("s"))
                       .arg(m_fixtures.size())
                       .arg(m_fixtures.size() == 1 ? QString() : QStringLiteral("es"));
    if (!counts.isEmpty())
        text += QStringLiteral(": ") + counts.join(QStringLiteral(", "));
    return text + QStringLiteral(", in %1\n").arg(SummaryTable::duration(m_clock.elapsed()));
}
