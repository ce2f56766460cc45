#pragma once

#include "history/HistoryLocation.h"
#include "history/UpdateHistory.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

// The station's update history: where it is, and the warnings it gave (each once), for the status
// answer. Every run records its updates in it.
class StationHistory : public QObject
{
    Q_OBJECT
public:
    explicit StationHistory(QObject* parent = nullptr);

    // Starts the history's writer; returns at once. Trouble comes through warning().
    void open(const HistoryLocation& location) { m_history.open(location); }
    HistoryLocation location() const { return m_history.location(); }
    bool isOpen() const { return m_history.isOpen(); }
    const QStringList& warnings() const { return m_warnings; }
    // Rows of this station not yet in a shared history, and when the oldest of them started.
    qint64 waiting() const { return m_waiting; }
    const QDateTime& oldestWaiting() const { return m_oldestWaiting; }
    // Waits at most timeoutMs for the rows to be written (the station stops).
    bool close(int timeoutMs) { return m_history.close(timeoutMs); }

    UpdateHistory& history() { return m_history; }

signals:
    void warning(const QString& message);

private:
    UpdateHistory m_history;
    QStringList m_warnings;
    qint64 m_waiting = 0;
    QDateTime m_oldestWaiting;
};
