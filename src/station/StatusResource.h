#pragma once

#include "station/HttpMessages.h"
#include "station/StationResult.h"

class RunRegistry;
class StationHistory;
class Webhooks;
struct ProductVariant;

// /api/v1/status: the station's version, its build's product, how many runs are running, and
// where its history is with the warnings it gave and what waits on this computer for it, and
// where each webhook receiver stands.
class StatusResource
{
public:
    StatusResource(const RunRegistry& runs, const StationHistory& history, const ProductVariant* product);

    void setWebhooks(const Webhooks* webhooks) { m_webhooks = webhooks; }

    StationResult<HttpResponse> get() const;

private:
    const RunRegistry& m_runs;
    const StationHistory& m_history;
    const ProductVariant* m_product;
    const Webhooks* m_webhooks = nullptr;
};
