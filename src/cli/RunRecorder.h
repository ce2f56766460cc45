#pragma once

#include "history/UpdateHistory.h"

#include <QObject>

#include <vector>

class UpdateRunner;

// Keeps every update of a run in the update history: a row when the update starts, its log lines
// as uploader-cli shows them (Debug lines only with --verbose), its records as they go, and its
// end. Units that an interrupt stopped before their first update started have no row: nothing
// was attempted.
class RunRecorder : public QObject
{
    Q_OBJECT
public:
    RunRecorder(UpdateRunner& runner, UpdateHistory& history, bool verbose, QObject* parent = nullptr);

private:
    void onStarted(int unit);
    void onFinished(int unit);

    UpdateRunner& m_runner;
    UpdateHistory& m_history;
    std::vector<HistoryHandle> m_handles; // per unit, the update under way; 0 when none
};
