#pragma once

#include <sys/resource.h>

// Processor time this process has used so far (user and system), in microseconds.
inline long long cpuMicros()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}
