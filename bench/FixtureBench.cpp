// fixture_bench: what watching fixtures costs, at real time (no time scale).
//   fixture_bench latency [PLACEMENTS]  from a unit answering at a watched fixture to its first record
//   fixture_bench idle [FIXTURES] [SECONDS]  processor time of watching fixtures where nothing answers
#include "CpuTime.h"
#include "HexGenerator.h"

#include "fleet/Fixture.h"
#include "settings/ProductVariant.h"
#include "unitsim/SimulatedUnit.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

void runFor(qint64 ms)
{
    QTimer::singleShot(ms, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
}

Fixture::Watch watchOf(const QString& firmware)
{
    Fixture::Watch watch;
    watch.request.firmwarePath = firmware;
    watch.request.product = ProductVariants::named(QStringLiteral("Marlin"));
    return watch;
}

int latency(const QString& firmware, int placements)
{
    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    if (!unit.listen(QHostAddress::LocalHost, 0))
        return 1;
    const quint16 port = unit.port();
    unit.stopListening();
    Fixture fixture(FixtureEntry{QStringLiteral("bench"), {QStringLiteral("127.0.0.1"), port}},
                    Fixture::DefaultGoneAfterMs);
    QElapsedTimer placed;
    std::vector<qint64> samples;
    QObject::connect(&unit, &unitsim::SimulatedUnit::messageReceived, &unit, [&](unitsim::MessageKind kind) {
        if (kind == unitsim::MessageKind::Record && placed.isValid()) {
            samples.push_back(placed.elapsed());
            placed.invalidate();
        }
    });
    QObject::connect(&fixture, &Fixture::stateChanged, &unit, [&](Fixture::State state) {
        if (state == Fixture::State::Done || state == Fixture::State::Failed) {
            unit.stopListening(); // taken out
            return;
        }
        if (state != Fixture::State::Empty || int(samples.size()) >= placements)
            return;
        // Placed at a moment unrelated to the probes' rhythm.
        QTimer::singleShot(250 + 97 * int(samples.size() % 8), &unit, [&] {
            unit.listen(QHostAddress::LocalHost, port);
            placed.start();
        });
    });
    fixture.watch(watchOf(firmware));
    QTimer::singleShot(0, &unit, [&] {
        unit.listen(QHostAddress::LocalHost, port);
        placed.start();
    });
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &unit, [&] {
        if (int(samples.size()) >= placements && fixture.state() == Fixture::State::Empty)
            QCoreApplication::quit();
    });
    check.start(50);
    QCoreApplication::exec();
    std::sort(samples.begin(), samples.end());
    std::printf("placements %zu: unit answering to its first record, median %lld ms, worst %lld ms\n",
                samples.size(), static_cast<long long>(samples[samples.size() / 2]),
                static_cast<long long>(samples.back()));
    return 0;
}

int idle(const QString& firmware, int count, int seconds)
{
    // Ports that were free a moment ago: every probe is refused at once, as at an empty fixture.
    std::vector<std::unique_ptr<Fixture>> fixtures;
    for (int i = 0; i < count; ++i) {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        const quint16 port = server.serverPort();
        server.close();
        fixtures.push_back(std::make_unique<Fixture>(
            FixtureEntry{QStringLiteral("f%1").arg(i), {QStringLiteral("127.0.0.1"), port}},
            Fixture::DefaultGoneAfterMs));
        fixtures.back()->watch(watchOf(firmware));
    }
    const long long before = cpuMicros();
    QElapsedTimer wall;
    wall.start();
    runFor(qint64(seconds) * 1000);
    const double cpu = double(cpuMicros() - before) / 1e6;
    std::printf("%d empty fixtures watched for %.1f s: %.3f s of processor time, %.2f %% of one core\n",
                count, double(wall.elapsed()) / 1000, cpu, 100 * cpu / (double(wall.elapsed()) / 1000));
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTemporaryDir dir;
    const QString firmware = dir.filePath(QStringLiteral("bench.hex"));
    HexGenerator::write(firmware.toStdString(), 20, 0);
    if (args.value(1) == QLatin1String("latency"))
        return latency(firmware, args.value(2, QStringLiteral("20")).toInt());
    if (args.value(1) == QLatin1String("idle"))
        return idle(firmware, args.value(2, QStringLiteral("64")).toInt(),
                    args.value(3, QStringLiteral("30")).toInt());
    std::fprintf(stderr, "usage: fixture_bench latency [PLACEMENTS] | idle [FIXTURES] [SECONDS]\n");
    return 2;
}
