// uploader_bench: how close the uploader comes to the limit of a stop-and-wait link, how it
// keeps the window responsive, and whether its memory stays flat with the file's size.
//
// Every measurement is one upload to a fresh `unitsim --product marlin --port 0 --once` on
// 127.0.0.1, by a fresh client process: the real window offscreen (bench_window_upload, Debug off
// or on), the yardstick (upload_yardstick, a minimal blocking POSIX client) or, for reference,
// the same exchange on Qt's event loop and nothing else (upload_qt_minimal). All are timed from
// the first record to the last acknowledgement. Runs are interleaved (yardstick, Qt minimal,
// Debug off, Debug on, ...) so a change in the machine's load hits all of them alike; the table
// gives medians, and ratios to the yardstick of the same run.
//
// The firmware check that runs before an upload is timed on its own (bench_firmware_check, a
// fresh process per run) over a generated file of --check-mb MB.
//
//   uploader_bench [--runs N] [--latency-runs N] [--records N] [--small-mb N] [--large-mb N]
//                  [--check-mb N] [--no-latency] [--no-memory] [--no-check] [--check-only] [--quick]

#include "HexGenerator.h"
#include "Processes.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class Client
{
    Yardstick,
    QtMinimal,
    ToolDebugOff,
    ToolDebugOn,
    ToolRecording
};

const char* clientName(Client client)
{
    switch (client) {
    case Client::Yardstick:
        return "yardstick (blocking POSIX client)";
    case Client::QtMinimal:
        return "Qt event loop and socket alone";
    case Client::ToolDebugOff:
        return "uploader window, Debug off";
    case Client::ToolDebugOn:
        return "uploader window, Debug on";
    case Client::ToolRecording:
        return "uploader window, Debug off, update history on";
    }
    return "";
}

struct Options
{
    int runs = 5;
    int latencyRuns = 3;
    long long records = 32768;
    long long smallMb = 1;
    long long largeMb = 50;
    long long checkMb = 50;
    bool latency = true;
    bool memory = true;
    bool check = true;
    bool checkOnly = false;
    std::string unitsim = BENCH_UNITSIM;
    std::string yardstick = BENCH_YARDSTICK;
    std::string qtMinimal = BENCH_QT_MINIMAL;
    std::string window = BENCH_WINDOW_UPLOAD;
    std::string checker = BENCH_FIRMWARE_CHECK;
};

constexpr long long CheckSlice = 256 * 1024; // bytes per step, as the window would check on its event loop

struct Result
{
    bool ok = false;
    std::string error;
    long long records = 0;
    double totalUs = 0;
    double cpuUs = 0;
    double tickMaxUs = 0;
    double tickP99Us = 0;
    long maxRssKiB = 0;

    double perRecordUs() const { return records > 0 ? totalUs / double(records) : 0; }
    double cpuPerRecordUs() const { return records > 0 ? cpuUs / double(records) : 0; }
};

std::map<std::string, std::string> keyValues(const std::string& text)
{
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    std::string item;
    while (in >> item) {
        const size_t eq = item.find('=');
        if (eq != std::string::npos)
            values[item.substr(0, eq)] = item.substr(eq + 1);
    }
    return values;
}

double number(const std::map<std::string, std::string>& values, const std::string& key)
{
    const auto it = values.find(key);
    return it == values.end() ? -1 : std::atof(it->second.c_str());
}

std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

// One upload of `file` by `client` to a fresh unitsim answering after latencyMs.
Result measure(const Options& options, Client client, const HexGenerator::File& file, double latencyMs)
{
    Result result;
    char latencyText[32];
    std::snprintf(latencyText, sizeof latencyText, "%g", latencyMs);
    Processes::Child unit = Processes::start({options.unitsim, "--product", "marlin", "--port", "0", "--once",
                                              "--report-every", "0", "--latency", latencyText});
    if (unit.pid <= 0) {
        result.error = "cannot start " + options.unitsim;
        return result;
    }
    const std::string port = Processes::listeningPort(unit, 10000);
    if (port.empty()) {
        Processes::wait(unit, 1000);
        result.error = "unitsim did not start listening";
        return result;
    }

    // Generous bounds: a stalled upload is stopped, a slow one is not.
    const int timeoutS = int(60 + double(file.recordLines) * (latencyMs + 5.0) / 1000.0);
    std::vector<std::string> argv;
    if (client == Client::Yardstick) {
        argv = {options.yardstick, "127.0.0.1", port, file.path};
    } else if (client == Client::QtMinimal) {
        argv = {options.qtMinimal, "127.0.0.1", port, file.path};
    } else {
        argv = {options.window,
                "--port",
                port,
                "--file",
                file.path,
                "--records",
                std::to_string(file.recordLines),
                "--timeout-s",
                std::to_string(timeoutS)};
        if (client == Client::ToolDebugOn)
            argv.push_back("--debug");
        // An SQLite history beside the file, as the window keeps one by default.
        if (client == Client::ToolRecording)
            argv.insert(argv.end(), {"--history", file.path + ".history.sqlite"});
    }
    Processes::Child child = Processes::start(argv);
    const std::string output = Processes::readRest(child, (timeoutS + 30) * 1000);
    const Processes::Exit exit = Processes::wait(child, 30000);
    const std::string unitOutput = Processes::readRest(unit, 30000);
    const Processes::Exit unitExit = Processes::wait(unit, 30000);

    const auto values = keyValues(firstLine(output));
    result.records = (long long)number(values, "records");
    result.totalUs = number(values, "first_to_last_us");
    result.cpuUs = number(values, "cpu_us");
    result.tickMaxUs = number(values, "tick_max_late_us");
    result.tickP99Us = number(values, "tick_p99_late_us");
    result.maxRssKiB = exit.maxRssKiB;

    // The unit must have accepted every record line, and nothing else: then both clients did the
    // same exchange.
    long long accepted = -1;
    long long refusals = -1;
    const size_t summary = unitOutput.find("summary: ");
    if (summary != std::string::npos)
        std::sscanf(unitOutput.c_str() + summary, "summary: %lld records accepted, %lld refusals", &accepted,
                    &refusals);
    if (!exit.exited || exit.code != 0) {
        result.error = "the client failed (exit " + std::to_string(exit.code) + ")";
    } else if (result.records != file.recordLines || result.totalUs <= 0) {
        result.error = "the client reported " + firstLine(output);
    } else if (accepted != file.recordLines || refusals != 0) {
        result.error = "unitsim accepted " + std::to_string(accepted) + " of " +
                       std::to_string(file.recordLines) + " records, " + std::to_string(refusals) +
                       " refusals";
    } else if (!unitExit.exited || unitExit.code != 0) {
        result.error = "unitsim did not end cleanly";
    } else {
        result.ok = true;
    }
    return result;
}

struct CheckResult
{
    double mbPerS = 0;
    double cpuMsPerMb = 0;
    double stepMaxMs = 0;
    long maxRssKiB = 0;
};

// One firmware check of `file` by a fresh bench_firmware_check; exits on failure.
CheckResult measureCheck(const Options& options, const HexGenerator::File& file)
{
    Processes::Child child =
        Processes::start({options.checker, "--file", file.path, "--slice", std::to_string(CheckSlice)});
    const std::string output = Processes::readRest(child, 600000);
    const Processes::Exit exit = Processes::wait(child, 30000);
    const auto values = keyValues(firstLine(output));
    const double bytes = number(values, "bytes");
    const double us = number(values, "us");
    if (!exit.exited || exit.code != 0 || bytes != double(file.bytes) || us <= 0) {
        std::fprintf(stderr, "uploader_bench: firmware check of %lld bytes failed (exit %d): %s\n",
                     file.bytes, exit.code, firstLine(output).c_str());
        std::exit(1);
    }
    CheckResult result;
    result.mbPerS = bytes / us; // bytes per microsecond = MB per second
    result.cpuMsPerMb = number(values, "cpu_us") / 1000.0 / (bytes / 1e6);
    result.stepMaxMs = number(values, "step_max_us") / 1000.0;
    result.maxRssKiB = exit.maxRssKiB;
    std::fprintf(stderr,
                 "  firmware check %8.1f MB/s  CPU %6.2f ms/MB  longest step %6.2f ms  peak RSS %6.1f MiB\n",
                 result.mbPerS, result.cpuMsPerMb, result.stepMaxMs, result.maxRssKiB / 1024.0);
    return result;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string cpuModel()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

[[noreturn]] void failRun(Client client, const Result& result)
{
    std::fprintf(stderr, "uploader_bench: %s: %s\n", clientName(client), result.error.c_str());
    std::exit(1);
}

Result measureOrFail(const Options& options, Client client, const HexGenerator::File& file, double latencyMs)
{
    const Result result = measure(options, client, file, latencyMs);
    if (!result.ok)
        failRun(client, result);
    std::fprintf(stderr,
                 "  %-36s %9.2f us/record  CPU %6.2f us/record  tick max %6.1f ms  peak RSS %6.1f MiB\n",
                 clientName(client), result.perRecordUs(), result.cpuPerRecordUs(), result.tickMaxUs / 1000.0,
                 result.maxRssKiB / 1024.0);
    return result;
}

struct CheckRuns
{
    HexGenerator::File file;
    std::vector<CheckResult> results;
};

CheckRuns runChecks(const Options& options, const std::filesystem::path& dir)
{
    CheckRuns runs;
    runs.file = HexGenerator::write(dir / "firmware-check.hex", 0, options.checkMb * 1000 * 1000);
    if (runs.file.recordLines == 0) {
        std::fprintf(stderr, "uploader_bench: cannot write %s\n", runs.file.path.c_str());
        std::exit(1);
    }
    for (int run = 1; run <= options.runs; ++run) {
        std::fprintf(stderr, "firmware check, %lld MB file, run %d of %d:\n", options.checkMb, run,
                     options.runs);
        runs.results.push_back(measureCheck(options, runs.file));
    }
    std::filesystem::remove(runs.file.path);
    return runs;
}

void printChecks(const CheckRuns& runs)
{
    std::vector<double> mbPerS, cpu, stepMax, rss;
    for (const CheckResult& r : runs.results) {
        mbPerS.push_back(r.mbPerS);
        cpu.push_back(r.cpuMsPerMb);
        stepMax.push_back(r.stepMaxMs);
        rss.push_back(r.maxRssKiB / 1024.0);
    }
    std::printf(
        "\nFirmware check of a %.2f MB file (%lld record lines) in steps of %lld KiB, one process per run "
        "(median of %zu runs)\n",
        double(runs.file.bytes) / 1e6, runs.file.recordLines, CheckSlice / 1024, runs.results.size());
    std::printf("| throughput (range) | CPU per MB | longest step | peak RSS |\n");
    std::printf("|---|---|---|---|\n");
    std::printf("| %.1f MB/s (%.1f-%.1f) | %.2f ms | %.2f ms | %.1f MiB |\n", median(mbPerS),
                *std::min_element(mbPerS.begin(), mbPerS.end()),
                *std::max_element(mbPerS.begin(), mbPerS.end()), median(cpu), median(stepMax), median(rss));
}

bool parseOptions(int argc, char* argv[], Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](long long& target) {
            if (i + 1 >= argc)
                return false;
            target = std::atoll(argv[++i]);
            return target > 0;
        };
        long long n = 0;
        if (arg == "--runs" && value(n))
            options.runs = int(n);
        else if (arg == "--latency-runs" && value(n))
            options.latencyRuns = int(n);
        else if (arg == "--records" && value(n))
            options.records = n;
        else if (arg == "--small-mb" && value(n))
            options.smallMb = n;
        else if (arg == "--large-mb" && value(n))
            options.largeMb = n;
        else if (arg == "--check-mb" && value(n))
            options.checkMb = n;
        else if (arg == "--no-latency")
            options.latency = false;
        else if (arg == "--no-memory")
            options.memory = false;
        else if (arg == "--no-check")
            options.check = false;
        else if (arg == "--check-only")
            options.checkOnly = true;
        else if (arg == "--quick") {
            options.runs = 3;
            options.latencyRuns = 1;
            options.records = 8192;
            options.largeMb = 10;
        } else {
            const bool help = arg == "--help" || arg == "-h";
            std::fprintf(
                help ? stdout : stderr,
                "usage: uploader_bench [--runs N] [--latency-runs N] [--records N] [--small-mb N] "
                "[--large-mb N] [--check-mb N] [--no-latency] [--no-memory] [--no-check] [--check-only] "
                "[--quick]\n"
                "  --runs N          uploads per client without latency (default 5)\n"
                "  --latency-runs N  uploads per client with the unit answering after 1 ms (default 3)\n"
                "  --records N       data records of 16 bytes in the generated file (default 32768)\n"
                "  --small-mb N, --large-mb N  file sizes for the memory comparison (default 1 and 50)\n"
                "  --check-mb N      file size for the firmware check's throughput (default 50)\n"
                "  --no-latency, --no-memory, --no-check   leave those parts out\n"
                "  --check-only      only the firmware check (its runs: --runs)\n"
                "  --quick           3 runs, 1 latency run, 8192 records, 10 MB large file\n");
            if (help)
                std::exit(0);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    Options options;
    if (!parseOptions(argc, argv, options))
        return 2;

    char dirTemplate[] = "/tmp/uploader-bench-XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        std::perror("uploader_bench: mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = dirTemplate;
    struct RemoveDir
    {
        std::filesystem::path path;
        ~RemoveDir() { std::filesystem::remove_all(path); }
    } removeDir{dir};

    const std::string loadAtStart = loadAverage();
    std::fprintf(stderr, "uploader_bench: load average %s\n", loadAtStart.c_str());

    if (options.checkOnly) {
        const CheckRuns checks = runChecks(options, dir);
        std::printf("Machine: %ld cores, %s\n", ::sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str());
        std::printf("Load average (1, 5, 15 min): %s at the start, %s at the end\n", loadAtStart.c_str(),
                    loadAverage().c_str());
        printChecks(checks);
        return 0;
    }

    const HexGenerator::File firmware = HexGenerator::write(dir / "firmware.hex", options.records, 0);
    if (firmware.recordLines == 0) {
        std::fprintf(stderr, "uploader_bench: cannot write %s\n", firmware.path.c_str());
        return 1;
    }

    // ---- no latency: yardstick, Debug off, Debug on, interleaved --------------------------------
    const Client clients[] = {Client::Yardstick, Client::QtMinimal, Client::ToolDebugOff, Client::ToolDebugOn,
                              Client::ToolRecording};
    std::map<Client, std::vector<Result>> fast;
    for (int run = 1; run <= options.runs; ++run) {
        std::fprintf(stderr, "no latency, run %d of %d:\n", run, options.runs);
        for (Client client : clients)
            fast[client].push_back(measureOrFail(options, client, firmware, 0));
    }
    auto perRecord = [](const std::vector<Result>& results) {
        std::vector<double> values;
        for (const Result& r : results)
            values.push_back(r.perRecordUs());
        return values;
    };
    auto ratios = [&](const std::vector<Result>& results) {
        std::vector<double> values;
        for (size_t i = 0; i < results.size(); ++i)
            values.push_back(results[i].totalUs / fast[Client::Yardstick][i].totalUs);
        return values;
    };
    const double yardstickUs = median(perRecord(fast[Client::Yardstick]));

    // ---- the unit answering after 1 ms ------------------------------------------------------------
    constexpr double LatencyMs = 1.0;
    std::vector<Result> latencyYardstick;
    std::vector<Result> latencyTool;
    if (options.latency) {
        for (int run = 1; run <= options.latencyRuns; ++run) {
            std::fprintf(stderr, "latency %g ms, run %d of %d:\n", LatencyMs, run, options.latencyRuns);
            latencyYardstick.push_back(measureOrFail(options, Client::Yardstick, firmware, LatencyMs));
            latencyTool.push_back(measureOrFail(options, Client::ToolDebugOff, firmware, LatencyMs));
        }
    }

    // ---- memory: a small and a large file, same tool, same settings --------------------------------
    std::vector<std::pair<HexGenerator::File, std::map<Client, Result>>> memory;
    if (options.memory) {
        for (long long mb : {options.smallMb, options.largeMb}) {
            const HexGenerator::File file =
                HexGenerator::write(dir / ("firmware-" + std::to_string(mb) + "MB.hex"), 0, mb * 1000 * 1000);
            std::fprintf(stderr, "memory, %lld MB file (%lld record lines):\n", mb, file.recordLines);
            std::map<Client, Result> results;
            for (Client client : {Client::ToolDebugOff, Client::ToolDebugOn})
                results[client] = measureOrFail(options, client, file, 0);
            memory.emplace_back(file, results);
            std::filesystem::remove(file.path);
        }
    }
    CheckRuns checks;
    if (options.check)
        checks = runChecks(options, dir);
    const std::string loadAtEnd = loadAverage();

    // ---- the table --------------------------------------------------------------------------------
    std::printf("Machine: %ld cores, %s\n", ::sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str());
    std::printf("Load average (1, 5, 15 min): %s at the start, %s at the end\n", loadAtStart.c_str(),
                loadAtEnd.c_str());
    std::printf("File: %lld data records of 16 bytes, %lld record lines, %.2f MB; unitsim on 127.0.0.1\n\n",
                firmware.dataRecords, firmware.recordLines, double(firmware.bytes) / 1e6);

    std::printf("Upload, no latency (median of %d runs; ratios are per run, to that run's yardstick)\n",
                options.runs);
    std::printf("| client | time per record | ratio to yardstick (range) | CPU per record | "
                "10 ms tick, largest delay: median (worst run) | 10 ms tick, 99th percentile delay |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (Client client : clients) {
        const std::vector<Result>& results = fast[client];
        const std::vector<double> r = ratios(results);
        std::vector<double> cpu, maxes, p99s;
        for (const Result& result : results) {
            cpu.push_back(result.cpuPerRecordUs());
            maxes.push_back(result.tickMaxUs / 1000.0);
            p99s.push_back(result.tickP99Us / 1000.0);
        }
        std::printf("| %s | %.2f us | %.2f (%.2f-%.2f) | %.2f us |", clientName(client),
                    median(perRecord(results)), median(r), *std::min_element(r.begin(), r.end()),
                    *std::max_element(r.begin(), r.end()), median(cpu));
        if (client == Client::ToolDebugOff || client == Client::ToolDebugOn ||
            client == Client::ToolRecording)
            std::printf(" %.1f ms (%.1f ms) | %.1f ms |\n", median(maxes),
                        *std::max_element(maxes.begin(), maxes.end()), median(p99s));
        else
            std::printf(" - | - |\n");
    }

    if (options.latency) {
        const double bound = double(firmware.recordLines) * (LatencyMs * 1000.0 + yardstickUs);
        std::vector<double> yTotals, tTotals, toYardstick;
        for (size_t i = 0; i < latencyTool.size(); ++i) {
            yTotals.push_back(latencyYardstick[i].totalUs);
            tTotals.push_back(latencyTool[i].totalUs);
            toYardstick.push_back(latencyTool[i].totalUs / latencyYardstick[i].totalUs);
        }
        std::vector<double> tickMaxes;
        for (const Result& result : latencyTool)
            tickMaxes.push_back(result.tickMaxUs / 1000.0);
        std::printf(
            "\nUpload, unit answering after %g ms (median of %d runs); records x (latency + yardstick round "
            "trip) = %.0f x (%g ms + %.2f us) = %.2f s\n",
            LatencyMs, options.latencyRuns, double(firmware.recordLines), LatencyMs, yardstickUs,
            bound / 1e6);
        std::printf("| client | per record | total / (records x (latency + round trip)) | ratio to yardstick "
                    "at %g ms "
                    "| 10 ms tick max delay |\n",
                    LatencyMs);
        std::printf("|---|---|---|---|---|\n");
        std::printf("| %s | %.1f us | %.3f | 1.000 | - |\n", clientName(Client::Yardstick),
                    median(yTotals) / double(firmware.recordLines), median(yTotals) / bound);
        std::printf("| %s | %.1f us | %.3f | %.3f | %.1f ms |\n", clientName(Client::ToolDebugOff),
                    median(tTotals) / double(firmware.recordLines), median(tTotals) / bound,
                    median(toYardstick), median(tickMaxes));
    }

    if (options.memory) {
        const auto& small = memory.at(0);
        const auto& large = memory.at(1);
        std::printf("\nPeak resident memory (one process per upload; %lld and %lld record lines)\n",
                    small.first.recordLines, large.first.recordLines);
        std::printf("| client | %lld MB file | %lld MB file | ratio | time per record, %lld MB file | "
                    "10 ms tick largest delay, %lld MB file |\n",
                    options.smallMb, options.largeMb, options.largeMb, options.largeMb);
        std::printf("|---|---|---|---|---|---|\n");
        for (Client client : {Client::ToolDebugOff, Client::ToolDebugOn}) {
            const Result& a = small.second.at(client);
            const Result& b = large.second.at(client);
            std::printf("| %s | %.1f MiB | %.1f MiB | %.3f | %.2f us | %.1f ms |\n", clientName(client),
                        a.maxRssKiB / 1024.0, b.maxRssKiB / 1024.0, double(b.maxRssKiB) / double(a.maxRssKiB),
                        b.perRecordUs(), b.tickMaxUs / 1000.0);
        }
    }

    if (options.check)
        printChecks(checks);

    std::printf("\nPer run, time per record in us (yardstick / Qt alone / Debug off / Debug on):");
    for (int i = 0; i < options.runs; ++i) {
        std::printf(" %s/%s/%s/%s", fixed(fast[Client::Yardstick][size_t(i)].perRecordUs(), 1).c_str(),
                    fixed(fast[Client::QtMinimal][size_t(i)].perRecordUs(), 1).c_str(),
                    fixed(fast[Client::ToolDebugOff][size_t(i)].perRecordUs(), 1).c_str(),
                    fixed(fast[Client::ToolDebugOn][size_t(i)].perRecordUs(), 1).c_str());
    }
    std::printf("\n");
    return 0;
}
