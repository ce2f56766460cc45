#pragma once

#include "engine/UpdateJob.h"
#include "engine/UpdateResult.h"
#include "fleet/UnitAddress.h"

#include <QElapsedTimer>
#include <QString>

#include <optional>

// Where one unit's updates stand, for the displays.
struct UnitRun
{
    enum class State
    {
        Waiting, // not started yet (--parallel)
        Running,
        Ended,
    };

    int index = 0; // in the run's list of units
    UnitAddress address;
    QString serial, fixture; // of the run's entry; may be empty
    QString label;
    State state = State::Waiting;
    int update = 0;  // the update under way or the last one, from 1
    int attempt = 1; // of that update: 2 and more are its retries after network faults
    UpdateJob::Phase phase = UpdateJob::Phase::Idle;
    // Of the update under way.
    qint64 bytes = 0;
    qint64 fileSize = 0;
    qint64 records = 0;
    QElapsedTimer sinceConnected; // real time, for rates
    // Over all updates of the unit.
    qint64 recordsTotal = 0;
    qint64 elapsedMs = 0; // program time
    int updatesSucceeded = 0;
    int updatesFailed = 0;
    std::optional<UpdateResult> lastResult;
    bool interrupted = false;

    bool succeeded() const
    {
        return !interrupted && updatesFailed == 0 && lastResult && lastResult->succeeded();
    }
    // outcomeName() of the last update, "interrupted" when the run was, "not-started" before any.
    QString outcome() const
    {
        if (interrupted)
            return QStringLiteral("interrupted");
        return lastResult ? outcomeName(lastResult->outcome) : QStringLiteral("not-started");
    }
};
