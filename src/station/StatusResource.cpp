#include "station/StatusResource.h"

#include "settings/ProductVariant.h"
#include "station/RunRegistry.h"
#include "station/StationHistory.h"

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
    };
    return HttpResponse::json(200, {{QStringLiteral("version"), QCoreApplication::applicationVersion()},
                                    {QStringLiteral("product"), m_product ? QJsonValue(m_product->modelName)
                                                                          : QJsonValue(QJsonValue::Null)},
                                    {QStringLiteral("runs_running"), running},
                                    {QStringLiteral("history"), history}});
}
