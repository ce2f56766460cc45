#include "MonotonicClock.h"

#include "TimeScale.h"

#include <chrono>

namespace MonotonicClock {

double seconds()
{
    using namespace std::chrono;
    static const steady_clock::time_point origin = steady_clock::now();
    const double real = duration<double>(steady_clock::now() - origin).count();
    return real / TimeScale::get();
}

} // namespace MonotonicClock
