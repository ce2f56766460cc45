#pragma once

#include "station/HttpMessages.h"

class StationHistory;

// /healthz and /readyz, for systemd, load balancers and Prometheus's blackbox checks: cheap,
// without a token, and saying no more than "ok" or the reason. Live while the event loop answers;
// ready while the station takes updates, with a history to record them in when one is required.
class HealthResource
{
public:
    HealthResource(const StationHistory& history, bool historyRequired);

    HttpResponse live() const;
    HttpResponse ready() const;
    // SIGTERM came: no longer ready.
    void setStopping() { m_stopping = true; }

private:
    const StationHistory& m_history;
    bool m_historyRequired = false;
    bool m_stopping = false;
};
