#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Tells systemd how the station is, through sd_notify (nothing when it was not started by a
// unit with NOTIFY_SOCKET): READY=1 once it listens, STATUS= what it is doing whenever that
// changes, WATCHDOG=1 from the event loop at half the interval systemd gives (WATCHDOG_USEC), so
// that an event loop that hangs gets the station restarted, and STOPPING=1 when it stops.
class SystemdNotifier : public QObject
{
    Q_OBJECT
public:
    static constexpr int StatusCheckMs = 1000;

    // status: the STATUS= text now ("4 units updating").
    explicit SystemdNotifier(std::function<QString()> status, QObject* parent = nullptr);

    void ready();
    void stopping();
    // Half of WATCHDOG_USEC in ms, 0 when systemd watches no watchdog.
    int watchdogIntervalMs() const { return m_watchdog.isActive() ? m_watchdog.interval() : 0; }

private:
    void sendStatus();

    std::function<QString()> m_status;
    QString m_lastStatus;
    QTimer m_watchdog;
    QTimer m_statusCheck;
};
