#pragma once

#include "fleet/UnitAddress.h"

#include <QString>

// One unit of a run as the history records it: where it answers, and what the line knows of it.
// The serial and the fixture may be empty (not known, not at a fixture).
struct UnitEntry
{
    UnitAddress address;
    QString serial;
    QString fixture;
};
