#pragma once

#include "history/HistoryLocation.h"
#include "history/UpdateHistory.h"
#include "station/UpdateRecorder.h"

#include <QHash>
#include <QObject>
#include <QStringList>

// The station's side of the update history: a recorder on the EventHub that keeps every update
// of every run as one row (frontend "station", the run's id in `run`), from its start to its end,
// with its log. The history's warnings are kept for the status answer, each once.
class StationHistory : public QObject, public UpdateRecorder
{
    Q_OBJECT
public:
    explicit StationHistory(QObject* parent = nullptr);

    // Starts the history's writer; returns at once. Trouble comes through warning().
    void open(const HistoryLocation& location);
    HistoryLocation location() const { return m_history.location(); }
    const QStringList& warnings() const { return m_warnings; }
    // Waits at most timeoutMs for the rows to be written (the station stops).
    bool close(int timeoutMs);

    UpdateHistory& history() { return m_history; }

    void updateStarted(const UpdateIdentity& update, const QDateTime& at) override;
    void updateLog(const UpdateIdentity& update, const QString& text, bool debugOnly) override;
    void updateProgress(const UpdateIdentity& update, qint64 recordsSent) override;
    void updateFinished(const UpdateIdentity& update, const UpdateResult& result, bool interrupted) override;

signals:
    void warning(const QString& message);

private:
    static QString key(const UpdateIdentity& update);

    UpdateHistory m_history;
    QHash<QString, HistoryHandle> m_handles; // the updates under way, by run and unit
    QStringList m_warnings;
};
