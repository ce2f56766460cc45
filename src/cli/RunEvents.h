#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>

#include <vector>

class UpdateRunner;

// The events of a run as JSON objects, built here for every consumer: uploader-cli's JSON Lines and
// the station's event stream. One event() per started, connected, progress, log and finished (see
// the README for the fields). Progress is coalesced per unit: at most one every progressInterval,
// plus the last one of each stream, which always comes before the update's finished.
class RunEvents : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 DefaultProgressIntervalMs = 100;

    // verbose: the log lines the window shows only with Debug are events too.
    RunEvents(UpdateRunner& runner, bool verbose, QObject* parent = nullptr);

    void setProgressIntervalMs(qint64 ms) { m_progressIntervalMs = ms; }
    qint64 progressIntervalMs() const { return m_progressIntervalMs; }

    // The run's last object: units, outcomes, updates, failed, exit_code, elapsed.
    QJsonObject summary() const;

signals:
    void event(const QJsonObject& object);

private:
    struct ProgressState
    {
        QElapsedTimer lastWritten;
        bool pending = false;
    };

    QJsonObject unitEvent(int unit, const QString& name) const;
    void onProgress(int unit);
    void emitProgress(int unit);
    void flushProgress(int unit);
    void onUpdateFinished(int unit);

    UpdateRunner& m_runner;
    bool m_verbose;
    qint64 m_progressIntervalMs = DefaultProgressIntervalMs;
    std::vector<ProgressState> m_progress;
};
