#include "station/StatusResource.h"

#include "settings/ProductVariant.h"
#include "station/RunRegistry.h"
#include "station/StationHistory.h"
#include "station/Webhooks.h"

#include <QCoreApplication>
#include <QJsonArray>

StatusResource::StatusResource(const RunRegistry& runs, const StationHistory& history,
                               const ProductVariant* product)
    : m_runs(runs), m_history(history), m_product(product)
{
}

StationResult<HttpResponse> StatusResource::get() const
{
    int running = 0;
    for (const StationRun* run : m_runs.runs())
        running += run->running() ? 1 : 0;
    const QJsonObject history{
        {QStringLiteral("location"), m_history.location().display()},
        {QStringLiteral("warnings"), QJsonArray::fromStringList(m_history.warnings())},
        // Updates recorded here that a shared history does not have yet, and when the oldest began.
        {QStringLiteral("waiting"), m_history.waiting()},
        {QStringLiteral("oldest_waiting"),
         m_history.oldestWaiting().isValid()
             ? QJsonValue(m_history.oldestWaiting().toString(Qt::ISODateWithMs))
             : QJsonValue(QJsonValue::Null)},
    };
    return HttpResponse::json(
        200, {{QStringLiteral("version"), QCoreApplication::applicationVersion()},
              {QStringLiteral("product"),
               m_product ? QJsonValue(m_product->modelName) : QJsonValue(QJsonValue::Null)},
              {QStringLiteral("runs_running"), running},
              {QStringLiteral("history"), history},
              {QStringLiteral("webhooks"), m_webhooks ? m_webhooks->status() : QJsonArray()}});
}
