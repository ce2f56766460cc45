#pragma once

#include <chrono>

// Every duration the program waits for or measures passes through here. Operators always run at
// scale 1; tests shrink it so that reboot waits of several seconds take a few milliseconds.
namespace TimeScale {

// factor > 0; 0.01 makes a 1,000 ms wait last 10 ms and makes 10 ms of real time count as 1,000 ms.
void set(double factor);
double get();

// Real duration for a program duration.
std::chrono::nanoseconds toReal(std::chrono::nanoseconds programDuration);
// Real milliseconds for a program duration in milliseconds, never below 0.
int toRealMs(int programMs);

} // namespace TimeScale
