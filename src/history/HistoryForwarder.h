#pragma once

#include "history/JournalForwarding.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

// Keeps a shared history up to date with this computer's journal, on a thread of its own: forwards
// what waits as soon as it is opened (the rows of any program of this computer, which may have
// ended long ago), again after every write to the journal, and every RecheckMs for what other
// programs here wrote. A history that cannot be reached is tried again, backing off from 0.5 to
// 30 s; nothing waiting is ever dropped.
class HistoryForwarder : public QObject
{
    Q_OBJECT

public:
    static constexpr int RecheckMs = 30000;
    // Kinds of trouble(), apart from the journal's own.
    static constexpr int troubleKindBase = 200;

    HistoryForwarder(const HistoryLocation& target, int busyTimeoutMs);
    ~HistoryForwarder() override;

    // Everything below runs on the forwarder's thread, called through queued invocations.
    void start();
    void nudge();
    // A last go (no retries) at this process's rows, within the time left; then the thread ends.
    void finish(qint64 deadlineMs);

signals:
    void trouble(int kind, const QString& message);
    // After every go: how many rows wait for the shared history, and since when the oldest.
    void waitingChanged(qint64 count, const QDateTime& oldest);
    // Rows now in the shared history: their uuids and the ids they have there.
    void forwarded(const QList<std::pair<QString, qint64>>& rows);

private:
    void run();
    void report(const JournalForwarding::Result& result);

    JournalForwarding m_forwarding;
    QTimer m_timer;
    int m_backoffMs = 0;
    bool m_scheduled = false;
};
