// uploader_cli_bench: uploader-cli updating many units at once, and a soak run.
//
// Fleet rows: 1, 4, 16 and 64 simulated units answering after 1 ms, in at most eight `unit_fleet`
// processes on 127.0.0.1 (64 unitsim processes cost a 2-core machine more than the uploader does),
// every unit getting the same file of --records records from one uploader-cli process.
// The time is the uploader-cli process's wall time from start to exit; the test build
// (uploader-cli-testing, the same program plus --time-scale) runs with --time-scale 0.001 so
// that the units' write and reboot waits (7.3 s for Marlin) take 7 ms; the reply and connect limits
// are raised to keep 10 s in real time. Also one unit without latency, uploader-cli against the
// yardstick client, both timed as whole processes.
//
// Soak (--soak): --soak-updates updates over 16 units, each unitsim with random faults of its own,
// by one uploader-cli process (--repeat, --keep-going); checks that every update ends with exactly
// one outcome, and samples the process's open descriptors and resident memory after the first
// hundred updates and near the end.
//
// History cost (--history-cost): one unit, --history-records records (400), one update per
// uploader-cli process, recording into an SQLite history vs --no-history, interleaved, median of
// --runs x 3 runs of each; the difference is what recording adds to one update as a person sees it
// (process start, the history's open and its last write included).
//
// Every other run records too, as uploader-cli does by default, into a history in the bench's
// temporary folder (UPLOADER_HISTORY), never the user's.
//
//   uploader_cli_bench [--records N] [--runs N] [--units 1,4,16,64] [--soak] [--soak-updates N] [--seed N]
//                      [--history-cost [--history-records N]]

#include "HexGenerator.h"
#include "Processes.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options
{
    long long records = 8192;
    int runs = 3;
    std::vector<int> unitCounts{1, 4, 16, 64};
    bool soak = false;
    int soakUnits = 16;
    int soakUpdates = 1000;
    bool historyCost = false;
    long long historyRecords = 400;
    unsigned seed = 1;
    std::string unitsim = BENCH_UNITSIM;
    std::string fleet = BENCH_UNIT_FLEET;
    std::string cli = BENCH_UPLOADER_CLI;
    std::string yardstick = BENCH_YARDSTICK;
};

// The simulated units run in at most this many processes: one process per unit while there are
// few, more units per process beyond that.
constexpr int FleetProcesses = 8;

struct Unit
{
    Processes::Child process;
    std::string port;
};

Unit startUnit(const Options& options, const std::vector<std::string>& extra)
{
    std::vector<std::string> argv{options.unitsim,  "--product", "marlin", "--port", "0",
                                  "--report-every", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Unit unit;
    unit.process = Processes::start(argv);
    unit.port = Processes::listeningPort(unit.process, 10000);
    return unit;
}

void stopUnits(std::vector<Unit>& units)
{
    for (Unit& unit : units)
        if (unit.process.pid > 0)
            ::kill(unit.process.pid, SIGTERM);
    for (Unit& unit : units)
        Processes::wait(unit.process, 5000);
    units.clear();
}

std::string writeUnitFile(const std::string& path, const std::vector<Unit>& units)
{
    std::ofstream out(path, std::ios::trunc);
    for (const Unit& unit : units)
        out << "127.0.0.1:" << unit.port << "\n";
    return path;
}

int countOf(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

struct Run
{
    bool ok = false;
    double wallS = 0;
    long long cpuUs = 0;
    long maxRssKiB = 0;
};

// One uploader-cli run over `unitCount` fresh units answering after 1 ms.
Run fleetRun(const Options& options, const HexGenerator::File& file, int unitCount, const std::string& dir)
{
    Run run;
    // 64 processes cost a 2-core machine more than the uploader does; one would serve all units
    // from one core.
    std::vector<Processes::Child> fleets;
    std::vector<Unit> units;
    const auto stopFleets = [&] {
        for (Processes::Child& fleet : fleets)
            ::kill(fleet.pid, SIGTERM);
        for (Processes::Child& fleet : fleets)
            Processes::wait(fleet, 5000);
    };
    const int perProcess = (unitCount + FleetProcesses - 1) / FleetProcesses;
    for (int first = 0; first < unitCount; first += perProcess) {
        const int count = std::min(perProcess, unitCount - first);
        fleets.push_back(
            Processes::start({options.fleet, "--units", std::to_string(count), "--latency", "1"}));
        for (int i = 0; i < count; ++i) {
            Unit unit;
            unit.port = Processes::listeningPort(fleets.back(), 10000);
            if (unit.port.empty()) {
                std::fprintf(stderr, "unit_fleet did not start\n");
                stopFleets();
                return run;
            }
            units.push_back(unit);
        }
    }
    const std::string list = writeUnitFile(dir + "/units.txt", units);
    const Clock::time_point start = Clock::now();
    Processes::Child cli =
        Processes::start({options.cli, "--json", "--units", list, "--time-scale", "0.001", "--reply-timeout",
                          "10000", "--connect-timeout", "10000", file.path});
    const std::string out = Processes::readRest(cli, 600000);
    const Processes::Exit exit = Processes::wait(cli, 10000);
    run.wallS = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpuUs = exit.cpuUs;
    run.maxRssKiB = exit.maxRssKiB;
    run.ok = exit.exited && exit.code == 0 && countOf(out, "\"outcome\":\"succeeded\"") == unitCount;
    if (!run.ok)
        std::fprintf(stderr, "uploader-cli over %d units: exit %d\n%s\n", unitCount, exit.code,
                     out.substr(out.size() > 2000 ? out.size() - 2000 : 0).c_str());
    stopFleets();
    return run;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void fleet(const Options& options, const std::string& dir)
{
    const HexGenerator::File file = HexGenerator::write(dir + "/fleet.hex", options.records - 1, 0);
    std::printf("uploader-cli, units answering after 1 ms, %lld records each, median of %d runs\n",
                file.recordLines, options.runs);
    std::printf("%6s %10s %9s %14s %16s %12s\n", "units", "wall s", "ratio", "records/s", "CPU us/record",
                "peak RSS MiB");
    double single = 0;
    for (int count : options.unitCounts) {
        std::vector<double> walls, cpus, rss;
        for (int r = 0; r < options.runs; ++r) {
            const Run run = fleetRun(options, file, count, dir);
            if (!run.ok)
                return;
            walls.push_back(run.wallS);
            cpus.push_back(double(run.cpuUs));
            rss.push_back(double(run.maxRssKiB));
        }
        const double wall = median(walls);
        if (count == options.unitCounts.front())
            single = wall;
        const double records = double(file.recordLines) * count;
        std::printf("%6d %10.2f %8.2fx %14.0f %16.2f %12.1f\n", count, wall, wall / single, records / wall,
                    median(cpus) / records, median(rss) / 1024.0);
        std::fflush(stdout);
    }

    // One unit, no latency: uploader-cli against the yardstick, both as whole processes.
    const HexGenerator::File big = HexGenerator::write(dir + "/single.hex", 32767, 0);
    std::vector<double> tool, yard;
    for (int r = 0; r < options.runs; ++r) {
        for (bool yardstick : {true, false}) {
            std::vector<Unit> units{startUnit(options, {"--once"})};
            const Clock::time_point start = Clock::now();
            Processes::Child client =
                yardstick ? Processes::start({options.yardstick, "127.0.0.1", units[0].port, big.path})
                          : Processes::start({options.cli, "--json", "--unit", "127.0.0.1:" + units[0].port,
                                              "--time-scale", "0.001", "--reply-timeout", "10000",
                                              "--connect-timeout", "10000", big.path});
            Processes::readRest(client, 600000);
            const Processes::Exit exit = Processes::wait(client, 10000);
            const double wall = std::chrono::duration<double>(Clock::now() - start).count();
            stopUnits(units);
            if (!exit.exited || exit.code != 0) {
                std::fprintf(stderr, "%s failed\n", yardstick ? "yardstick" : "uploader-cli");
                return;
            }
            (yardstick ? yard : tool).push_back(wall);
        }
    }
    std::printf("\none unit, no latency, %lld records, whole process: yardstick %.3f s, uploader-cli %.3f s, "
                "ratio %.2fx\n",
                big.recordLines, median(yard), median(tool), median(tool) / median(yard));
}

// ---- what recording adds to one update --------------------------------------------------------

void historyCost(const Options& options, const std::string& dir)
{
    const HexGenerator::File file =
        HexGenerator::write(dir + "/history-cost.hex", options.historyRecords - 1, 0);
    const std::string history = dir + "/history-cost.sqlite";
    std::vector<double> on, off;
    const int runs = options.runs * 3;
    for (int r = 0; r < runs; ++r) {
        for (bool recording : {false, true}) {
            std::vector<Unit> units{startUnit(options, {"--once"})};
            std::vector<std::string> argv{
                options.cli, "--json",          "--unit", "127.0.0.1:" + units[0].port, "--time-scale",
                "0.001",     "--reply-timeout", "10000",  "--connect-timeout",          "10000"};
            if (recording)
                argv.insert(argv.end(), {"--history", history});
            else
                argv.push_back("--no-history");
            argv.push_back(file.path);
            const Clock::time_point start = Clock::now();
            Processes::Child cli = Processes::start(argv);
            const std::string out = Processes::readRest(cli, 600000);
            const Processes::Exit exit = Processes::wait(cli, 10000);
            const double wall = std::chrono::duration<double>(Clock::now() - start).count();
            stopUnits(units);
            if (!exit.exited || exit.code != 0 || out.find("\"event\":\"warning\"") != std::string::npos) {
                std::fprintf(stderr, "uploader-cli %s failed (exit %d)\n%s\n",
                             recording ? "recording" : "--no-history", exit.code, out.c_str());
                return;
            }
            (recording ? on : off).push_back(wall * 1000.0);
        }
    }
    std::printf("one update of %lld records, one unit, whole uploader-cli process, median of %d runs each:\n",
                file.recordLines, runs);
    std::printf("  --no-history            %8.1f ms\n", median(off));
    std::printf("  recording (SQLite)      %8.1f ms\n", median(on));
    std::printf("  recording adds          %8.1f ms per update (%.1f%%)\n", median(on) - median(off),
                100.0 * (median(on) - median(off)) / median(off));
}

// ---- soak -------------------------------------------------------------------------------------

int openDescriptors(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return -1;
    int n = 0;
    while (const dirent* entry = ::readdir(dir))
        n += entry->d_name[0] != '.';
    ::closedir(dir);
    return n;
}

long residentKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

std::string field(const std::string& line, const std::string& key)
{
    const std::string quoted = "\"" + key + "\":";
    const size_t at = line.find(quoted);
    if (at == std::string::npos)
        return {};
    size_t begin = at + quoted.size();
    if (line[begin] == '"') {
        ++begin;
        return line.substr(begin, line.find('"', begin) - begin);
    }
    const size_t end = line.find_first_of(",}", begin);
    return line.substr(begin, end - begin);
}

std::vector<std::string> randomFaults(std::mt19937& random, int connections, int records)
{
    const std::vector<std::string> kinds{"refuse:01",      "refuse:02",  "refuse:03", "unknown-reply",
                                         "unknown-header", "stray:AA55", "split:1",   "double",
                                         "silence",        "drop",       "reset",     "latency:0.3"};
    std::uniform_int_distribution<int> kind(0, int(kinds.size()) - 1);
    std::uniform_int_distribution<int> message(0, records);
    std::uniform_int_distribution<int> connection(1, connections);
    std::uniform_int_distribution<int> howMany(connections / 6, connections / 3);
    std::vector<std::string> argv;
    for (int i = howMany(random); i > 0; --i) {
        argv.push_back("--fault");
        argv.push_back(kinds[size_t(kind(random))] + "@" + std::to_string(message(random)) + "#" +
                       std::to_string(connection(random)));
    }
    return argv;
}

int soak(const Options& options, const std::string& dir)
{
    const int repeat = (options.soakUpdates + options.soakUnits - 1) / options.soakUnits;
    const int total = repeat * options.soakUnits;
    const HexGenerator::File file = HexGenerator::write(dir + "/soak.hex", 300, 0);
    std::mt19937 random(options.seed);
    std::vector<Unit> units;
    for (int i = 0; i < options.soakUnits; ++i) {
        units.push_back(startUnit(options, randomFaults(random, repeat, int(file.recordLines))));
        if (units.back().port.empty()) {
            std::fprintf(stderr, "unitsim did not start\n");
            stopUnits(units);
            return 1;
        }
    }
    const std::string list = writeUnitFile(dir + "/soak-units.txt", units);
    const Clock::time_point start = Clock::now();
    Processes::Child cli =
        Processes::start({options.cli, "--json", "--units", list, "--repeat", std::to_string(repeat),
                          "--keep-going", "--time-scale", "0.01", file.path});
    std::map<std::string, int> started, finished; // "unit#update"
    std::map<std::string, int> outcomes;
    int finishedCount = 0;
    int fdFirst = -1, fdLast = -1;
    long rssFirst = -1, rssLast = -1;
    std::string line, summary;
    while (Processes::readLine(cli, line, 120000)) {
        const std::string event = field(line, "event");
        const std::string key = field(line, "unit") + "#" + field(line, "update");
        if (event == "started") {
            ++started[key];
        } else if (event == "finished") {
            ++finished[key];
            ++outcomes[field(line, "outcome")];
            ++finishedCount;
            if (finishedCount == 100) {
                fdFirst = openDescriptors(cli.pid);
                rssFirst = residentKiB(cli.pid);
            }
            if (finishedCount <= total - options.soakUnits) { // while every unit still runs
                fdLast = openDescriptors(cli.pid);
                rssLast = residentKiB(cli.pid);
            }
        } else if (event == "summary") {
            summary = line;
        }
    }
    const Processes::Exit exit = Processes::wait(cli, 10000);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    stopUnits(units);

    int exactlyOnce = 0;
    for (const auto& [key, n] : started)
        exactlyOnce += n == 1 && finished[key] == 1;
    std::printf("soak: %d updates over %d units (seed %u), %lld records each, %.1f s, exit %d\n",
                finishedCount, options.soakUnits, options.seed, file.recordLines, wall, exit.code);
    std::printf("  updates started %zu, ended with exactly one outcome %d\n", started.size(), exactlyOnce);
    std::printf("  outcomes:");
    for (const auto& [name, n] : outcomes)
        std::printf(" %s %d", name.c_str(), n);
    std::printf("\n  open descriptors after 100 updates %d, near the end %d\n", fdFirst, fdLast);
    std::printf("  VmRSS after 100 updates %ld KiB, near the end %ld KiB\n", rssFirst, rssLast);
    std::printf("  peak RSS %.1f MiB, CPU %.2f s\n", double(exit.maxRssKiB) / 1024.0,
                double(exit.cpuUs) / 1e6);
    const bool ok = finishedCount == total && exactlyOnce == total && int(started.size()) == total &&
                    !summary.empty() && fdLast <= fdFirst && exit.exited &&
                    (exit.code == 0 || exit.code == 1);
    std::printf("  %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

std::vector<int> parseCounts(const std::string& text)
{
    std::vector<int> counts;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        counts.push_back(std::atoi(item.c_str()));
    return counts;
}

} // namespace

int main(int argc, char* argv[])
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--records" && hasValue)
            options.records = std::atoll(argv[++i]);
        else if (arg == "--runs" && hasValue)
            options.runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--units" && hasValue)
            options.unitCounts = parseCounts(argv[++i]);
        else if (arg == "--soak")
            options.soak = true;
        else if (arg == "--soak-updates" && hasValue)
            options.soakUpdates = std::atoi(argv[++i]);
        else if (arg == "--history-cost")
            options.historyCost = true;
        else if (arg == "--history-records" && hasValue)
            options.historyRecords = std::max(2LL, std::atoll(argv[++i]));
        else if (arg == "--seed" && hasValue)
            options.seed = unsigned(std::atoi(argv[++i]));
        else {
            std::fprintf(stderr,
                         "usage: uploader_cli_bench [--records N] [--runs N] [--units 1,4,16,64] [--soak] "
                         "[--soak-updates N] [--seed N] [--history-cost [--history-records N]]\n");
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/uploader-cli-bench-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir)
        return 1;
    // uploader-cli records by default: into the bench's folder, never the user's history.
    ::setenv("UPLOADER_HISTORY", (std::string(dir) + "/history.sqlite").c_str(), 1);
    int status = 0;
    if (options.historyCost)
        historyCost(options, dir);
    else if (options.soak)
        status = soak(options, dir);
    else
        fleet(options, dir);
    std::filesystem::remove_all(dir);
    return status;
}
