// One firmware check of a file, in slices as the window runs it on its event loop, timed from
// the inside.
//
//   bench_firmware_check --file HEX [--slice BYTES]
//
// Prints one line of key=value results; exits non-zero when the file does not pass the check.

#include "engine/FirmwareCheck.h"

#include "CpuTime.h"

#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

long long micros(Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

} // namespace

int main(int argc, char* argv[])
{
    const char* file = nullptr;
    long long slice = 256 * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--file") == 0)
            file = argv[i + 1];
        else if (std::strcmp(argv[i], "--slice") == 0)
            slice = std::atoll(argv[i + 1]);
    }
    if (!file || slice <= 0) {
        std::fprintf(stderr, "usage: bench_firmware_check --file HEX [--slice BYTES]\n");
        return 2;
    }

    const long long cpuBefore = cpuMicros();
    const Clock::time_point start = Clock::now();
    FirmwareCheck check(QString::fromLocal8Bit(file));
    long long steps = 0;
    long long longestStepUs = 0;
    for (bool done = check.finished(); !done; ++steps) {
        const Clock::time_point before = Clock::now();
        done = check.step(slice);
        longestStepUs = std::max(longestStepUs, micros(Clock::now() - before));
    }
    const long long totalUs = micros(Clock::now() - start);
    const long long cpuUs = cpuMicros() - cpuBefore;

    const FirmwareCheckResult& result = check.result();
    std::printf("bytes=%lld us=%lld cpu_us=%lld steps=%lld step_max_us=%lld records=%lld\n",
                (long long)check.bytesChecked(), totalUs, cpuUs, steps, longestStepUs,
                (long long)result.summary.records);
    if (!result.ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(result.logLines().join(QLatin1Char('\n'))));
        return 1;
    }
    return 0;
}
