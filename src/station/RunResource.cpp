#include "station/RunResource.h"

#include "station/ApiReply.h"
#include "station/HttpExchange.h"
#include "station/RunRegistry.h"
#include "station/RunRequest.h"

#include <QJsonArray>

#include <memory>

RunResource::RunResource(RunRegistry& runs, const ProductVariant* defaultProduct)
    : m_runs(runs), m_defaultProduct(defaultProduct)
{
}

StationResult<HttpResponse> RunResource::list() const
{
    QJsonArray list;
    for (const StationRun* run : m_runs.runs())
        list.append(run->toJson());
    return HttpResponse::json(200, {{QStringLiteral("runs"), list}});
}

void RunResource::start(HttpExchange& exchange)
{
    auto body = std::make_shared<QByteArray>();
    exchange.receiveBody(
        MaxJsonBody, [body](const char* data, qsizetype size) { body->append(data, size); },
        [this, body, reply = ApiReply(exchange), who = exchange.tokenName()] {
            reply.send(started(*body, who));
        });
}

StationResult<HttpResponse> RunResource::started(const QByteArray& body, const QString& startedBy)
{
    StationResult<RunRequest> request = RunRequest::parse(body, m_defaultProduct);
    if (!request)
        return request.error();
    RunRequest asked = *request;
    asked.startedBy = startedBy;
    const StationResult<StationRun*> run = m_runs.start(asked);
    if (!run)
        return run.error();
    return HttpResponse::json(201, {{QStringLiteral("id"), (*run)->id()}});
}

StationError RunResource::noRun(const QString& id) const
{
    return StationError(StationError::Code::NotFound,
                        QStringLiteral("No run has the id \"%1\".").arg(id.left(64)));
}

StationResult<HttpResponse> RunResource::get(const QString& id) const
{
    const StationRun* run = m_runs.find(id);
    if (!run)
        return noRun(id);
    return HttpResponse::json(200, run->toJson());
}

StationResult<HttpResponse> RunResource::retry(const QString& id, const QString& startedBy)
{
    StationRun* run = m_runs.find(id);
    if (!run)
        return noRun(id);
    const StationResult<StationRun*> retry = m_runs.retryFailed(*run, startedBy);
    if (!retry)
        return retry.error();
    return HttpResponse::json(201, {{QStringLiteral("id"), (*retry)->id()}});
}

StationResult<HttpResponse> RunResource::cancel(const QString& id)
{
    StationRun* run = m_runs.find(id);
    if (!run)
        return noRun(id);
    if (!run->running())
        return StationError(
            StationError::Code::RunEnded,
            QStringLiteral("The run has ended already (%1).").arg(StationRun::stateName(run->state())));
    run->cancel();
    return HttpResponse::json(200, run->toJson());
}
