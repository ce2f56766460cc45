#pragma once

#include <QString>

#include <chrono>

struct UnitRun;

// What a run tells about its units' updates, in order, on the runner's thread: the JSON events, the
// displays, the event stream of the station and the history are each one of these. Every update
// that starts ends with exactly one updateFinished() (after its attempts); so does every unit an interrupt
// stopped before its first update (with update 0). Observers do nothing they are not interested in.
class RunObserver
{
public:
    virtual ~RunObserver() = default;

    virtual void updateStarted(const UnitRun& /*unit*/) {}
    // The unit's connection is up (once per update).
    virtual void connected(const UnitRun& /*unit*/) {}
    // unit.phase is the new phase; the end of an update comes as updateFinished() only.
    virtual void phaseChanged(const UnitRun& /*unit*/) {}
    // unit.bytes, fileSize and records have moved: after each record sent.
    virtual void progress(const UnitRun& /*unit*/) {}
    // A line of the update's log; debugOnly for those the window shows only with Debug.
    virtual void logLine(const UnitRun& /*unit*/, const QString& /*text*/, bool /*debugOnly*/) {}
    // The attempt unit.attempt ended in a network fault (unit.lastResult) and the update starts
    // again after `delay` (program time) as attempt unit.attempt + 1.
    virtual void retryScheduled(const UnitRun& /*unit*/, std::chrono::milliseconds /*delay*/) {}
    // unit.lastResult holds the result; unit.interrupted tells an interrupted one.
    virtual void updateFinished(const UnitRun& /*unit*/) {}
};
