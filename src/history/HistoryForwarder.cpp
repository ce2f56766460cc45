#include "history/HistoryForwarder.h"

#include <QThread>

namespace {

constexpr int firstRetryMs = 500;
constexpr int lastRetryMs = 30000;

} // namespace

HistoryForwarder::HistoryForwarder(const HistoryLocation& target, int busyTimeoutMs)
    : m_forwarding(target, busyTimeoutMs), m_timer(this)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HistoryForwarder::run);
}

HistoryForwarder::~HistoryForwarder() = default;

void HistoryForwarder::start()
{
    run();
}

void HistoryForwarder::nudge()
{
    // While backing off, the retry comes when it is due; a go already on its way takes this too.
    if (m_backoffMs > 0 || m_scheduled)
        return;
    m_scheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_scheduled = false;
        run();
    });
}

void HistoryForwarder::run()
{
    m_timer.stop();
    const JournalForwarding::Result result = m_forwarding.forward();
    report(result);
    if (result.error.ok()) {
        m_backoffMs = 0;
        m_timer.start(RecheckMs);
        return;
    }
    QString message = result.error.message;
    if (message.endsWith(QLatin1Char('.')))
        message.chop(1);
    emit trouble(troubleKindBase + result.error.kind,
                 message +
                     QStringLiteral("; updates are kept on this computer and sent once it works again."));
    m_backoffMs = m_backoffMs == 0 ? firstRetryMs : qMin(m_backoffMs * 2, lastRetryMs);
    m_timer.start(m_backoffMs);
}

void HistoryForwarder::finish(qint64 deadlineMs)
{
    m_timer.stop();
    report(m_forwarding.forward(QDeadlineTimer(deadlineMs)));
    QThread::currentThread()->quit();
}

void HistoryForwarder::report(const JournalForwarding::Result& result)
{
    const auto saved = m_forwarding.takeSaved();
    if (!saved.isEmpty())
        emit forwarded(saved);
    emit waitingChanged(result.waiting, result.oldest);
}
