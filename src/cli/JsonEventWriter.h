#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>

#include <vector>

class UpdateRunner;

// The run as JSON Lines on standard output: one compact object per event (see the README for
// the schema). Progress goes out at most ten times a second per unit, plus the last one of each
// stream.
class JsonEventWriter : public QObject
{
    Q_OBJECT
public:
    JsonEventWriter(UpdateRunner& runner, bool verbose, QObject* parent = nullptr);

    void writeSummary();

private:
    struct ProgressState
    {
        QElapsedTimer lastWritten;
        bool pending = false;
    };

    QJsonObject unitEvent(int unit, const QString& event) const;
    void onProgress(int unit);
    void writeProgress(int unit);
    void flushProgress(int unit);
    static void write(const QJsonObject& object);

    UpdateRunner& m_runner;
    bool m_verbose;
    std::vector<ProgressState> m_progress;
};
