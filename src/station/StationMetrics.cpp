#include "station/StationMetrics.h"

#include "fleet/UnitRun.h"
#include "settings/ProductVariant.h"
#include "station/MetricsText.h"
#include "station/RunRegistry.h"
#include "station/StationHistory.h"

#include <QCoreApplication>
#include <QDateTime>

StationMetrics::StationMetrics(const RunRegistry& runs, const StationHistory& history,
                               const ProductVariant* product)
    : m_runs(runs), m_history(history), m_product(product),
      m_startTime(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0)
{
    // Every outcome from the start, so that rate() and increase() see the first update of each.
    for (int outcome = int(UpdateOutcome::Succeeded); outcome <= int(UpdateOutcome::Cancelled); ++outcome)
        m_outcomes.insert(outcomeName(UpdateOutcome(outcome)), 0);
    m_outcomes.insert(QStringLiteral("interrupted"), 0);
}

void StationMetrics::updateStarted(const UnitRun& unit)
{
    // A unit waiting to try its update again is still updating.
    if (unit.attempt == 1)
        ++m_updating;
}

void StationMetrics::retryScheduled(const UnitRun& unit, std::chrono::milliseconds)
{
    m_recordsSent += unit.lastResult->recordsSent;
}

void StationMetrics::updateFinished(const UnitRun& unit)
{
    // Units an interrupt stopped before their first update had none to count.
    if (unit.update == 0 || !unit.lastResult)
        return;
    --m_updating;
    ++m_outcomes[unit.outcome()];
    const double seconds = double(unit.lastResult->elapsed.count()) / 1000.0;
    for (size_t i = 0; i < DurationBuckets.size(); ++i)
        if (seconds <= DurationBuckets[i])
            ++m_durationBuckets[i];
    ++m_durationCount;
    m_durationSum += seconds;
    m_recordsSent += unit.lastResult->recordsSent;
}

QByteArray StationMetrics::text() const
{
    MetricsText out;
    out.family("uploader_updates_total", "counter", "Updates that ended, by outcome.");
    for (auto it = m_outcomes.cbegin(); it != m_outcomes.cend(); ++it)
        out.sample("uploader_updates_total", double(it.value()), {{"outcome", it.key()}});

    out.family("uploader_update_duration_seconds", "histogram", "How long the updates that ended took.");
    for (size_t i = 0; i < DurationBuckets.size(); ++i)
        out.sample("uploader_update_duration_seconds_bucket", double(m_durationBuckets[i]),
                   {{"le", QString::number(DurationBuckets[i])}});
    out.sample("uploader_update_duration_seconds_bucket", double(m_durationCount),
               {{"le", QStringLiteral("+Inf")}});
    out.sample("uploader_update_duration_seconds_sum", m_durationSum);
    out.sample("uploader_update_duration_seconds_count", double(m_durationCount));

    out.family("uploader_records_sent_total", "counter", "Records sent to units by the updates that ended.");
    out.sample("uploader_records_sent_total", double(m_recordsSent));

    out.family("uploader_units_updating", "gauge", "Units being updated now.");
    out.sample("uploader_units_updating", m_updating);

    int running = 0;
    for (const StationRun* run : m_runs.runs())
        running += run->running() ? 1 : 0;
    out.family("uploader_runs_running", "gauge", "Runs under way.");
    out.sample("uploader_runs_running", running);

    if (m_fixtureStates) {
        out.family("uploader_fixtures", "gauge", "Fixtures, by state.");
        const QMap<QString, int> states = m_fixtureStates();
        for (auto it = states.cbegin(); it != states.cend(); ++it)
            out.sample("uploader_fixtures", it.value(), {{"state", it.key()}});
    }

    out.family("uploader_history_waiting_rows", "gauge",
               "Updates recorded on this computer that the shared history does not have yet.");
    out.sample("uploader_history_waiting_rows", double(m_history.waiting()));

    // Labelled by the receiver's place on the command line: URLs may hold what a scrape must not.
    if (const QList<qint64> waiting = m_webhookWaiting ? m_webhookWaiting() : QList<qint64>();
        !waiting.isEmpty()) {
        out.family("uploader_webhook_waiting", "gauge", "Webhook deliveries not yet delivered, by receiver.");
        for (qsizetype i = 0; i < waiting.size(); ++i)
            out.sample("uploader_webhook_waiting", double(waiting.at(i)), {{"receiver", QString::number(i)}});
    }

    out.family("uploader_http_requests_total", "counter", "HTTP requests answered, by status code.");
    for (auto it = m_responses.cbegin(); it != m_responses.cend(); ++it)
        out.sample("uploader_http_requests_total", double(it.value()), {{"code", QString::number(it.key())}});

    out.family("process_start_time_seconds", "gauge",
               "Start time of the process since the Unix epoch, in seconds.");
    out.sample("process_start_time_seconds", m_startTime);

    out.family("uploader_build_info", "gauge", "The station's version and its build's product; always 1.");
    out.sample("uploader_build_info", 1,
               {{"version", QCoreApplication::applicationVersion()},
                {"product", m_product ? m_product->modelName : QString()}});
    return out.text();
}
