// Several simulated units in one process, for the fleet benchmark: one event loop serves them
// all, so 64 units do not need 64 processes (and their scheduling) on a small machine.
//
//   unit_fleet --units N [--latency MS]
//
// Prints "listening on 127.0.0.1:PORT" once per unit, then serves until it is terminated.

#include "unitsim/Model.h"
#include "unitsim/SimulatedUnit.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto value = [&](const QString& name, const QString& fallback) {
        const qsizetype at = args.indexOf(name);
        return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
    };
    const int count = value(QStringLiteral("--units"), QStringLiteral("1")).toInt();
    const double latencyMs = value(QStringLiteral("--latency"), QStringLiteral("0")).toDouble();
    if (count < 1) {
        std::fprintf(stderr, "usage: unit_fleet --units N [--latency MS]\n");
        return 2;
    }
    std::signal(SIGTERM, [](int) { std::_Exit(0); });
    std::vector<std::unique_ptr<unitsim::SimulatedUnit>> units;
    for (int i = 0; i < count; ++i) {
        units.push_back(std::make_unique<unitsim::SimulatedUnit>(unitsim::Model::Marlin));
        units.back()->setLatencyMs(latencyMs);
        if (!units.back()->listen(QHostAddress::LocalHost, 0)) {
            std::fprintf(stderr, "unit_fleet: cannot listen\n");
            return 1;
        }
        std::printf("listening on 127.0.0.1:%u\n", unsigned(units.back()->port()));
    }
    std::fflush(stdout);
    return app.exec();
}
