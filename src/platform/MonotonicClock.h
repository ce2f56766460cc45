#pragma once

// Seconds on a monotonic clock, in program time (see TimeScale). Unlike the time of day it never
// jumps back at midnight or when the system clock is set, so elapsed times and time limits hold.
namespace MonotonicClock {

double seconds();

} // namespace MonotonicClock
