// Peak memory of the window while a peer floods it, against its peak for a normal update of the
// same file.
//
//   flood_bench [--mib N] [--records N]
//
// Each run starts a fresh unitsim as a separate process and the real window (bench_window_upload,
// offscreen, to the update's own end, its waits shortened) as another, and reads the window's peak
// resident memory from the kernel when it exits. The flooding unitsim answers the product code
// and the first records, then streams N MiB instead of a reply: a header that is no reply followed
// by zeros, or bytes that are never FD. Prints a Markdown table.

#include "HexGenerator.h"
#include "Processes.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Run
{
    bool ok = false;
    std::string error;
    long maxRssKiB = 0;
    std::string ending; // the window's last log line
    std::string unitSummary;
};

Run run(const std::string& unitsim, const std::string& window, const std::string& file, long long records,
        const std::string& fault, bool debug)
{
    Run result;
    std::vector<std::string> unitArgs{unitsim, "--product", "marlin",         "--port",
                                      "0",     "--once",    "--report-every", "0"};
    if (!fault.empty()) {
        unitArgs.push_back("--fault");
        unitArgs.push_back(fault);
    }
    Processes::Child unit = Processes::start(unitArgs);
    const std::string port = Processes::listeningPort(unit, 10000);
    if (port.empty()) {
        Processes::wait(unit, 1000);
        result.error = "unitsim did not start listening";
        return result;
    }
    std::vector<std::string> argv{
        window,     "--port",       port,   "--file",      file, "--records", std::to_string(records),
        "--to-end", "--time-scale", "0.01", "--timeout-s", "300"};
    if (debug)
        argv.push_back("--debug");
    Processes::Child child = Processes::start(argv);
    const std::string output = Processes::readRest(child, 330000);
    const Processes::Exit exit = Processes::wait(child, 30000);
    result.unitSummary = Processes::readRest(unit, 30000);
    Processes::wait(unit, 30000);
    result.maxRssKiB = exit.maxRssKiB;
    const size_t at = output.find("last_line=");
    result.ending =
        at == std::string::npos ? std::string() : output.substr(at + 10, output.find('\n', at) - at - 10);
    result.ok = exit.exited && exit.code == 0 && at != std::string::npos;
    if (!result.ok)
        result.error = "the window failed: " + output;
    return result;
}

std::string floodSent(const std::string& unitOutput)
{
    const size_t at = unitOutput.find("floods:");
    return at == std::string::npos ? std::string("-")
                                   : unitOutput.substr(at, unitOutput.find_first_of(";\n", at) - at);
}

} // namespace

int main(int argc, char* argv[])
{
    int mib = 300;
    long long records = 32768;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mib" && i + 1 < argc)
            mib = std::atoi(argv[++i]);
        else if (arg == "--records" && i + 1 < argc)
            records = std::atoll(argv[++i]);
        else {
            std::fprintf(stderr, "usage: flood_bench [--mib N] [--records N]\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    const std::string path = "/tmp/flood_bench_" + std::to_string(::getpid()) + ".hex";
    const HexGenerator::File file = HexGenerator::write(path, records, 0);
    if (file.recordLines == 0) {
        std::fprintf(stderr, "flood_bench: cannot write the firmware file\n");
        return 1;
    }
    const std::string flood = std::to_string(mib);
    struct Case
    {
        const char* name;
        std::string fault;
        bool debug;
    } cases[] = {
        {"normal update, Debug off", "", false},
        {"normal update, Debug on", "", true},
        {"header, then zeros; Debug off", "flood-header:" + flood + "@100", false},
        {"header, then zeros; Debug on", "flood-header:" + flood + "@100", true},
        {"stray bytes; Debug off", "flood-stray:" + flood + "@100", false},
        {"stray bytes; Debug on", "flood-stray:" + flood + "@100", true},
    };
    std::printf("| Peer (%d MiB flood from record 100), window | Peak RSS | Window's last line | unitsim |\n",
                mib);
    std::printf("|---|---|---|---|\n");
    int failures = 0;
    for (const Case& c : cases) {
        std::fprintf(stderr, "flood_bench: %s\n", c.name);
        const Run r = run(BENCH_UNITSIM, BENCH_WINDOW_UPLOAD, file.path, file.recordLines, c.fault, c.debug);
        if (!r.ok) {
            std::fprintf(stderr, "flood_bench: %s: %s\n", c.name, r.error.c_str());
            ++failures;
            continue;
        }
        std::printf("| %s | %.1f MiB | %s | %s |\n", c.name, double(r.maxRssKiB) / 1024.0, r.ending.c_str(),
                    floodSent(r.unitSummary).c_str());
    }
    std::remove(path.c_str());
    return failures ? 1 : 0;
}
