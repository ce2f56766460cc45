#pragma once

#include "fleet/RunObserver.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <array>
#include <functional>

class RunRegistry;
class StationHistory;
struct ProductVariant;

// What GET /metrics tells Prometheus: the updates that ended by outcome, their durations and
// records, what runs now, what waits for the history, the HTTP answers by status, and the build.
// Every run's runner has it as an observer. No label names a unit, a serial or anything else a
// plant has without bound: outcomes, states and HTTP statuses are small fixed sets.
class StationMetrics : public RunObserver
{
public:
    // Upper bounds of the duration histogram's buckets, in seconds (+Inf follows).
    static constexpr std::array<double, 10> DurationBuckets{5, 10, 20, 30, 45, 60, 90, 120, 300, 600};
    // How many fixtures are in each state, for uploader_fixtures{state}; given by the fixtures.
    using FixtureStates = std::function<QMap<QString, int>()>;
    // How many webhook deliveries wait, per receiver in the order given; given by the webhooks.
    using WebhookWaiting = std::function<QList<qint64>()>;

    StationMetrics(const RunRegistry& runs, const StationHistory& history, const ProductVariant* product);

    void updateStarted(const UnitRun& unit) override;
    void retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay) override;
    void updateFinished(const UnitRun& unit) override;

    // Every answer the HTTP server queues, by its status.
    void countResponse(int status) { ++m_responses[status]; }
    void setFixtureStates(FixtureStates states) { m_fixtureStates = std::move(states); }
    void setWebhookWaiting(WebhookWaiting waiting) { m_webhookWaiting = std::move(waiting); }
    int unitsUpdating() const { return m_updating; }

    QByteArray text() const;

private:
    const RunRegistry& m_runs;
    const StationHistory& m_history;
    const ProductVariant* m_product;
    double m_startTime = 0;
    FixtureStates m_fixtureStates;
    WebhookWaiting m_webhookWaiting;

    QMap<QString, qint64> m_outcomes;
    std::array<qint64, DurationBuckets.size()> m_durationBuckets{};
    qint64 m_durationCount = 0;
    double m_durationSum = 0;
    qint64 m_recordsSent = 0;
    int m_updating = 0;
    QMap<int, qint64> m_responses;
};
