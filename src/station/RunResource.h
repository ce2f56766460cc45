#pragma once

#include "station/HttpMessages.h"
#include "station/StationResult.h"

class HttpExchange;
class RunRegistry;
struct ProductVariant;

// /api/v1/runs: every run, latest first, and the start of another (the body is a RunRequest);
// /api/v1/runs/{id}: one run, and its cancelling while it runs; /api/v1/runs/{id}/retry: its failed
// units again.
class RunResource
{
public:
    static constexpr qint64 MaxJsonBody = 1024 * 1024;

    // defaultProduct: the build's, for a request that names none (may be nullptr).
    RunResource(RunRegistry& runs, const ProductVariant* defaultProduct);

    StationResult<HttpResponse> list() const;
    // Answered once the body has come: 201 with the new run's id.
    void start(HttpExchange& exchange);
    StationResult<HttpResponse> get(const QString& id) const;
    StationResult<HttpResponse> cancel(const QString& id);
    // 201 with the id of a new run of the units whose update did not succeed.
    // startedBy: the name of the token that asked.
    StationResult<HttpResponse> retry(const QString& id, const QString& startedBy);

private:
    StationResult<HttpResponse> started(const QByteArray& body, const QString& startedBy);
    StationError noRun(const QString& id) const;

    RunRegistry& m_runs;
    const ProductVariant* m_defaultProduct;
};
