#pragma once

#include "cli/Options.h"
#include "engine/UpdateRequest.h"
#include "history/UpdateHistory.h"

#include <QElapsedTimer>
#include <QMap>

#include <memory>
#include <vector>

class Fixture;
class QCoreApplication;

// uploader-cli --watch: each unit's address is a fixture, watched until an interrupt, and every
// unit placed there is updated once (see Fixture). Each update has its own number per address, a
// history row per attempt, and its events or lines; the summary counts the updates per outcome.
class WatchRun
{
public:
    // signer: who signed the firmware, when its signature was verified.
    WatchRun(const Options& options, UpdateRequest request, QString signer);
    ~WatchRun();

    // Until interrupted: 130 after the summary.
    int exec(QCoreApplication& app);

private:
    void finish(QCoreApplication& app);
    QString summaryText() const;

    const Options& m_options;
    UpdateRequest m_request;
    QString m_signer;
    QString m_runId;
    UpdateHistory m_history;
    std::vector<std::unique_ptr<Fixture>> m_fixtures;
    QMap<QString, int> m_outcomes; // updates per outcome name
    QElapsedTimer m_clock;
    bool m_finished = false;
};
