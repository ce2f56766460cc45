#include "TimeScale.h"

#include <algorithm>
#include <cmath>

namespace {
double g_factor = 1.0;
}

namespace TimeScale {

void set(double factor)
{
    if (factor > 0.0 && std::isfinite(factor))
        g_factor = factor;
}

double get()
{
    return g_factor;
}

std::chrono::nanoseconds toReal(std::chrono::nanoseconds programDuration)
{
    return std::chrono::nanoseconds(std::llround(double(programDuration.count()) * g_factor));
}

int toRealMs(int programMs)
{
    // Rounded up: a wait never ends before its due time.
    const double real = std::ceil(double(programMs) * g_factor);
    return int(std::clamp(real, 0.0, double(std::numeric_limits<int>::max())));
}

} // namespace TimeScale
