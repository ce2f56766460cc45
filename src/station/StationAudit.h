#pragma once

#include "history/AuditEntry.h"

#include <functional>

class HttpExchange;
struct HttpRequest;

// The record of who changed what: every request that changes something, and every one refused for
// its token or its role, with the token's name, the client's address, the object it named and the
// status it was answered with. The entries go to the station's history, beside its updates.
class StationAudit
{
public:
    using Sink = std::function<void(AuditEntry)>;

    explicit StationAudit(Sink sink) : m_sink(std::move(sink)) {}

    // Records the exchange once it is answered (status 0 when the client went away first). The
    // object is the one the path names, else the one the answer names ("sha256", else "id": the
    // firmware uploaded, the run started).
    void follow(HttpExchange& exchange, const QString& object);
    void record(const HttpRequest& request, const QString& token, const QString& object, int status);

private:
    Sink m_sink;
};
