#pragma once

#include "fleet/UnitEntry.h"

#include <QList>
#include <QString>

struct UpdateRecord;

// The units of a recorded run whose update did not succeed, to update them again: a unit failed
// when its latest row in the run (the last attempt of its last update) is not "succeeded". Each
// keeps the serial and fixture its rows carried; they come in the order of their last rows.
struct FailedUnits
{
    QList<UnitEntry> units;
    int unitsInRun = 0;
    QString lot; // of the run's latest row

    // rows: every row of the run, latest first (as the history reads them).
    static FailedUnits of(const QList<UpdateRecord>& rows);
};
