#include "engine/UpdateRequest.h"

#include <algorithm>
#include <cmath>
#include <limits>

std::chrono::milliseconds UpdateTimings::real(std::chrono::milliseconds program) const
{
    const double ms = std::ceil(double(program.count()) * scale);
    return std::chrono::milliseconds(qint64(std::clamp(ms, 0.0, double(std::numeric_limits<int>::max()))));
}

qint64 UpdateTimings::programMs(qint64 realNs) const
{
    return qint64(std::floor(double(realNs) / 1e6 / scale + 0.5));
}
