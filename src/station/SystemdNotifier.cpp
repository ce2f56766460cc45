#include "station/SystemdNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>

namespace {

void notify(const QByteArray& state)
{
    sd_notify(0, state.constData());
}

} // namespace

SystemdNotifier::SystemdNotifier(std::function<QString()> status, QObject* parent)
    : QObject(parent), m_status(std::move(status))
{
    m_watchdog.setTimerType(Qt::PreciseTimer);
    connect(&m_watchdog, &QTimer::timeout, this, [] { notify("WATCHDOG=1"); });
    connect(&m_statusCheck, &QTimer::timeout, this, [this] { sendStatus(); });
}

void SystemdNotifier::ready()
{
    m_lastStatus = m_status();
    notify("READY=1\nSTATUS=" + m_lastStatus.toUtf8());
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        m_watchdog.start(int(std::clamp<uint64_t>(usec / 2000, 1, 24 * 3600 * 1000)));
        notify("WATCHDOG=1");
    }
    m_statusCheck.start(StatusCheckMs);
}

void SystemdNotifier::stopping()
{
    m_statusCheck.stop();
    notify("STOPPING=1\nSTATUS=stopping");
}

void SystemdNotifier::sendStatus()
{
    const QString now = m_status();
    if (now == m_lastStatus)
        return;
    m_lastStatus = now;
    notify("STATUS=" + now.toUtf8());
}
