#include "station/HealthResource.h"

#include "station/StationHistory.h"

namespace {

HttpResponse plain(int status, const QByteArray& text)
{
    HttpResponse response;
    response.status = status;
    response.contentType = "text/plain; charset=utf-8";
    response.body = text + '\n';
    response.headers.append({QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store")});
    return response;
}

} // namespace

HealthResource::HealthResource(const StationHistory& history, bool historyRequired)
    : m_history(history), m_historyRequired(historyRequired)
{
}

HttpResponse HealthResource::live() const
{
    return plain(200, "ok");
}

HttpResponse HealthResource::ready() const
{
    if (m_stopping)
        return plain(503, "stopping");
    if (m_historyRequired && !m_history.isOpen())
        return plain(503, "the update history is not open");
    return plain(200, "ok");
}
