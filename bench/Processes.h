#pragma once

// Child processes for the benchmark driver: started with their standard output on a pipe, waited
// for with their resource usage, and ended by their own process id when they overrun.

#include <sys/types.h>

#include <string>
#include <vector>

namespace Processes {

struct Child
{
    pid_t pid = -1;
    int out = -1; // read end of the child's standard output
    std::string buffered;
};

struct Exit
{
    bool exited = false; // ended by itself (not killed)
    int code = -1;
    long maxRssKiB = 0; // peak resident memory of this child
    long long cpuUs = 0; // user and system time of this child
};

// argv[0] is the program's path. Returns a child with pid -1 when it cannot be started.
Child start(const std::vector<std::string>& argv);

// The next line of the child's output (without the newline); false at the end of the output or
// once timeoutMs has passed without a whole line.
bool readLine(Child& child, std::string& line, int timeoutMs);

// Reads the rest of the output until the child closes it, at most timeoutMs.
std::string readRest(Child& child, int timeoutMs);

// Reads a unitsim's output until it says where it listens; the port, or "" when it never does.
std::string listeningPort(Child& unit, int timeoutMs);

// Waits for the child to end; kills it (by its pid) when it has not ended within timeoutMs.
Exit wait(Child& child, int timeoutMs);

} // namespace Processes
