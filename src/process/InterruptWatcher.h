#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a signal on the event loop. The handler only writes the signal's
// number into a socket pair (which is safe in a signal handler); the event loop reads it.
// One watcher at a time; the previous handlers come back when it is destroyed.
class InterruptWatcher : public QObject
{
    Q_OBJECT
public:
    explicit InterruptWatcher(QObject* parent = nullptr);
    ~InterruptWatcher() override;

    // False when the socket pair or the handlers could not be set up (errorString says why).
    bool isActive() const { return m_active; }
    QString errorString() const { return m_error; }

signals:
    void interrupted(int signalNumber);

private:
    static void handle(int signalNumber);
    void onReadable();

    int m_fds[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
    bool m_active = false;
    QString m_error;
};
