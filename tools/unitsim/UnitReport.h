#pragma once

#include "unitsim/ConnectionReport.h"

namespace unitsim {

struct UnitReport
{
    QList<ConnectionReport> connections;

    // All connections together: histories concatenated, counts summed, images layered in
    // connection order, complete if any connection completed its image.
    ConnectionReport cumulative() const;
};

} // namespace unitsim
