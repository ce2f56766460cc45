#pragma once

#include <QString>

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

} // namespace SummaryTable
