#pragma once

#include <QString>

#include <chrono>

class UpdateRunner;
struct UnitRun;

// The table both human displays end with: one row per unit (outcome, records, time, and why it
// failed), then the counts per outcome.
namespace SummaryTable {

QString render(const UpdateRunner& runner);

// "1.2 s", "3 min 04 s"
QString duration(qint64 ms);

// How the unit's last update ended: "refused, 5 records in 1.2 s: NAK - Incorrect Checksum".
QString updateEnd(const UnitRun& run);

// An attempt that ended in a network fault, and when the next starts:
// "no-connection: …; attempt 2 in 1.0 s".
QString attemptEnd(const UnitRun& run, std::chrono::milliseconds delay);

// "run 3fa1c2d4e5b6\n", the id to give --failed-from; empty without an id.
QString runLine(const QString& runId);

} // namespace SummaryTable
