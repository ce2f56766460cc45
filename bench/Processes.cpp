#include "Processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace Processes {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// Appends what the pipe has within the time left; false at the end of the output or the deadline.
bool readMore(Child& child, Clock::time_point deadline)
{
    if (child.out < 0)
        return false;
    pollfd p{child.out, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&p, 1, remainingMs(deadline));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return false;
    char chunk[4096];
    const ssize_t n = ::read(child.out, chunk, sizeof chunk);
    if (n <= 0) {
        ::close(child.out);
        child.out = -1;
        return false;
    }
    child.buffered.append(chunk, size_t(n));
    return true;
}

} // namespace

Child start(const std::vector<std::string>& argv)
{
    Child child;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return child;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return child;
    }
    child.pid = pid;
    child.out = fds[0];
    return child;
}

bool readLine(Child& child, std::string& line, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t newline = child.buffered.find('\n');
        if (newline != std::string::npos) {
            line = child.buffered.substr(0, newline);
            child.buffered.erase(0, newline + 1);
            return true;
        }
        if (!readMore(child, deadline))
            return false;
    }
}

std::string readRest(Child& child, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (readMore(child, deadline)) {
    }
    std::string rest;
    rest.swap(child.buffered);
    return rest;
}

Exit wait(Child& child, int timeoutMs)
{
    Exit result;
    if (child.pid <= 0)
        return result;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    rusage usage{};
    bool killed = false;
    for (;;) {
        const pid_t got = ::wait4(child.pid, &status, WNOHANG, &usage);
        if (got == child.pid)
            break;
        if (got < 0 && errno != EINTR)
            return result;
        if (!killed && Clock::now() >= deadline) {
            ::kill(child.pid, SIGKILL);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    child.pid = -1;
    if (child.out >= 0) {
        ::close(child.out);
        child.out = -1;
    }
    result.exited = !killed && WIFEXITED(status);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.maxRssKiB = usage.ru_maxrss;
    result.cpuUs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
                   usage.ru_stime.tv_usec;
    return result;
}

} // namespace Processes

std::string Processes::listeningPort(Child& unit, int timeoutMs)
{
    static const std::string marker = "listening on 127.0.0.1:";
    std::string line;
    while (readLine(unit, line, timeoutMs)) {
        const size_t at = line.find(marker);
        if (at != std::string::npos)
            return line.substr(at + marker.size());
    }
    return {};
}
