// uploader-station under load, as a process (its test build at --time-scale 0.05, so the units'
// fixed write and reboot waits take 0.4 s instead of 8 s), against simulated units that answer
// after 10 ms, served by eight unit_fleet processes:
//   1. one unit, then 256 units at once: wall time of the run, the ratio, peak memory (VmHWM) and
//      the station's CPU time per record sent;
//      while those 256 update, GET /metrics one scrape after another: the time each answer took
//      (median and slowest) among the scrapes that saw every unit updating;
//   2. 16 units, alone and while a client asks for the run's status 1,000 times a second: records
//      per second in both, and how many status answers came back.
// Every update is recorded in the update history, as in production: an SQLite file in the bench's
// temporary folder unless --history names another (a PostgreSQL URL, say); at the end the bench
// checks through the API that every update has its finished row.
//
//   station_bench [--records N] [--units N] [--load-units N] [--rate N] [--history URL]
#include "HexGenerator.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

constexpr int FleetProcesses = 8;

template <typename Condition> bool waitFor(Condition condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// utime + stime of a process in microseconds.
long long cpuUs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const long long ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return ticks * 1000000LL / ::sysconf(_SC_CLK_TCK);
}

long statusKiB(qint64 pid, const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLong();
    return -1;
}

class Bench
{
public:
    QNetworkAccessManager network;
    QString url;
    QByteArray token;

    QJsonObject call(const QByteArray& method, const QString& path, const QByteArray& body = {})
    {
        QNetworkRequest request(QUrl(url + path));
        request.setRawHeader("Authorization", "Bearer " + token);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        std::unique_ptr<QNetworkReply> reply(network.sendCustomRequest(request, method, body));
        waitFor([&] { return reply->isFinished(); }, 600000);
        return QJsonDocument::fromJson(reply->readAll()).object();
    }
};

struct RunResult
{
    bool ok = false;
    double wallS = 0;
    long long cpuUs = 0;
    long long records = 0;
    long statusAnswers = 0;
    QList<double> scrapeMs; // scrapes that saw every unit of the run updating
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto value = [&](const char* name, int fallback) {
        const qsizetype at = args.indexOf(QString::fromLatin1(name));
        return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
    };
    const int records = value("--records", 600);
    const int manyUnits = value("--units", 256);
    const int loadUnits = value("--load-units", 16);
    const int rate = value("--rate", 1000);

    QTemporaryDir dir;
    const qsizetype historyAt = args.indexOf(QStringLiteral("--history"));
    const QString history = historyAt >= 0 && historyAt + 1 < args.size()
                                ? args.at(historyAt + 1)
                                : dir.filePath(QStringLiteral("history.sqlite"));
    const HexGenerator::File file =
        HexGenerator::write(dir.filePath(QStringLiteral("fw.hex")).toStdString(), records - 1, 0);

    // The units.
    std::vector<std::unique_ptr<QProcess>> fleets;
    QStringList units;
    for (int f = 0; f < FleetProcesses; ++f) {
        auto fleet = std::make_unique<QProcess>();
        const int count = (manyUnits + FleetProcesses - 1) / FleetProcesses;
        fleet->start(QStringLiteral(BENCH_UNIT_FLEET), {QStringLiteral("--units"), QString::number(count),
                                                        QStringLiteral("--latency"), QStringLiteral("10")});
        QByteArray out;
        waitFor(
            [&] {
                out += fleet->readAllStandardOutput();
                return out.count('\n') >= count;
            },
            20000);
        for (const QByteArray& line : out.split('\n'))
            if (line.startsWith("listening on "))
                units << QString::fromLatin1(line.mid(13));
        fleets.push_back(std::move(fleet));
    }
    if (units.size() < manyUnits) {
        std::fprintf(stderr, "station_bench: the simulated units did not start\n");
        return 1;
    }

    // The station.
    QProcess station;
    station.start(QStringLiteral(BENCH_STATION),
                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--state-dir"),
                   dir.path(), QStringLiteral("--time-scale"), QStringLiteral("0.05"),
                   QStringLiteral("--max-connections"), QStringLiteral("1024"), QStringLiteral("--history"),
                   history});
    QByteArray stationOut;
    waitFor(
        [&] {
            stationOut += station.readAllStandardOutput();
            return stationOut.contains('\n');
        },
        10000);
    Bench bench;
    bench.url = QString::fromLatin1(stationOut.left(stationOut.indexOf('\n')));
    QFile tokenFile(dir.filePath(QStringLiteral("token")));
    tokenFile.open(QIODevice::ReadOnly);
    bench.token = tokenFile.readAll().trimmed();
    QFile firmware(QString::fromStdString(file.path));
    firmware.open(QIODevice::ReadOnly);
    const QString sha256 =
        bench.call("POST", QStringLiteral("/api/v1/firmware?name=bench.hex"), firmware.readAll())
            .value(QStringLiteral("sha256"))
            .toString();
    const qint64 pid = station.processId();

    const auto run = [&](int count, int statusRate, bool scrape = false) {
        RunResult result;
        QJsonObject body;
        body[QStringLiteral("firmware")] = sha256;
        body[QStringLiteral("units")] = QJsonArray::fromStringList(units.mid(0, count));
        const long long cpuBefore = cpuUs(pid);
        QElapsedTimer clock;
        clock.start();
        QString id;
        // Status load: rate/100 requests every 10 ms, on QNetworkAccessManager's six connections.
        QTimer load;
        long sent = 0;
        QObject::connect(&load, &QTimer::timeout, [&] {
            for (int i = 0; i < statusRate / 100; ++i) {
                QNetworkRequest request(QUrl(bench.url + QStringLiteral("/api/v1/runs/") + id));
                QNetworkReply* reply = bench.network.get(request);
                ++sent;
                QObject::connect(reply, &QNetworkReply::finished, reply, [&result, reply] {
                    if (reply->error() == QNetworkReply::NoError)
                        ++result.statusAnswers;
                    reply->deleteLater();
                });
            }
        });
        // The run's end from the event stream, which was open before the run started: no polling
        // load on the station or the machine.
        QNetworkRequest eventsRequest(QUrl(bench.url + QStringLiteral("/api/v1/events")));
        eventsRequest.setRawHeader("Authorization", "Bearer " + bench.token);
        std::unique_ptr<QNetworkReply> events(bench.network.get(eventsRequest));
        QByteArray stream;
        bool ended = false;
        QObject::connect(events.get(), &QNetworkReply::readyRead, events.get(), [&] {
            stream += events->readAll();
            qsizetype end;
            while ((end = stream.indexOf("\n\n")) >= 0) {
                const QJsonObject event = QJsonDocument::fromJson(stream.mid(6, end - 6)).object();
                stream.remove(0, end + 2);
                if (!ended && event.value(QStringLiteral("event")).toString() == QLatin1String("run") &&
                    event.value(QStringLiteral("run")).toString() == id &&
                    event.value(QStringLiteral("state")).toString() != QLatin1String("running")) {
                    ended = true;
                    result.wallS = double(clock.nsecsElapsed()) / 1e9;
                }
            }
        });
        waitFor([&] { return !stream.isEmpty(); }, 5000); // the stream's first comment: it is open
        clock.restart();
        id = bench.call("POST", QStringLiteral("/api/v1/runs"), QJsonDocument(body).toJson())
                 .value(QStringLiteral("id"))
                 .toString();
        if (statusRate > 0)
            load.start(10);
        // Scrapes one after another, each timed from the request to the whole answer.
        std::unique_ptr<QNetworkReply> scraping;
        QElapsedTimer scrapeClock;
        std::function<void()> nextScrape = [&] {
            scrapeClock.start();
            scraping.reset(bench.network.get(QNetworkRequest(QUrl(bench.url + QStringLiteral("/metrics")))));
            QObject::connect(scraping.get(), &QNetworkReply::finished, scraping.get(), [&] {
                const double ms = double(scrapeClock.nsecsElapsed()) / 1e6;
                const QByteArray text = scraping->readAll();
                if (text.contains("\nuploader_units_updating " + QByteArray::number(count) + '\n'))
                    result.scrapeMs << ms;
                if (!ended)
                    QTimer::singleShot(20, nextScrape);
            });
        };
        if (scrape)
            nextScrape();
        waitFor([&] { return ended; }, 900000);
        load.stop();
        waitFor([&] { return !scraping || scraping->isFinished(); }, 5000);
        result.cpuUs = cpuUs(pid) - cpuBefore;
        const QJsonObject state = bench.call("GET", QStringLiteral("/api/v1/runs/") + id);
        int succeeded = 0;
        for (const QJsonValue& unit : state.value(QStringLiteral("units")).toArray()) {
            result.records += unit.toObject().value(QStringLiteral("records")).toInteger();
            if (unit.toObject().value(QStringLiteral("outcome")).toString() == QLatin1String("succeeded"))
                ++succeeded;
        }
        result.ok = ended && succeeded == count;
        if (statusRate > 0)
            result.statusAnswers = long(double(result.statusAnswers) / result.wallS);
        if (!result.ok)
            std::fprintf(stderr, "station_bench: %d of %d units succeeded\n", succeeded, count);
        // Let the status answers still under way drain before the next run.
        waitFor([] { return false; }, 300);
        return result;
    };

    std::printf("uploader-station, units answering after 10 ms, %lld records each (--time-scale 0.05)\n",
                file.recordLines);
    std::printf("%6s %10s %8s %14s %16s\n", "units", "wall s", "ratio", "records/s", "CPU us/record");
    const RunResult one = run(1, 0);
    const RunResult many = run(manyUnits, 0, true);
    for (const RunResult* r : {&one, &many})
        std::printf("%6lld %10.2f %7.2fx %14.0f %16.2f\n", r->records / file.recordLines, r->wallS,
                    r->wallS / one.wallS, double(r->records) / r->wallS,
                    double(r->cpuUs) / double(r->records));
    std::printf("peak RSS (VmHWM) of the station: %.1f MiB\n", double(statusKiB(pid, "VmHWM")) / 1024.0);
    QList<double> scrapes = many.scrapeMs;
    std::sort(scrapes.begin(), scrapes.end());
    if (scrapes.isEmpty())
        std::printf("GET /metrics: no scrape saw all %d units updating\n", manyUnits);
    else
        std::printf("GET /metrics with %d units updating: %lld scrapes, median %.2f ms, slowest %.2f ms\n",
                    manyUnits, static_cast<long long>(scrapes.size()), scrapes.at(scrapes.size() / 2),
                    scrapes.last());

    const RunResult quiet = run(loadUnits, 0);
    const RunResult loaded = run(loadUnits, rate);
    std::printf(
        "%d units: %.0f records/s alone, %.0f records/s with %d status requests/s asked (%ld/s answered)\n",
        loadUnits, double(quiet.records) / quiet.wallS, double(loaded.records) / loaded.wallS, rate,
        loaded.statusAnswers);
    std::printf("station CPU: %.2f us/record alone, %.2f us/record under the status load\n",
                double(quiet.cpuUs) / double(quiet.records), double(loaded.cpuUs) / double(loaded.records));
    bool ok = one.ok && many.ok && quiet.ok && loaded.ok;

    // Every update in the history, finished: 1 + units + 2 x load units rows.
    const int updates = 1 + manyUnits + 2 * loadUnits;
    QJsonArray rows;
    QElapsedTimer settle;
    settle.start();
    for (;;) {
        rows = bench.call("GET", QStringLiteral("/api/v1/updates?limit=1000&outcome=succeeded"))
                   .value(QStringLiteral("updates"))
                   .toArray();
        if (rows.size() >= updates || settle.elapsed() > 30000)
            break;
        waitFor([] { return false; }, 200);
    }
    std::printf("history (%s): %lld of %d updates recorded as succeeded, %.1f s after the last run ended\n",
                qPrintable(history), static_cast<long long>(rows.size()), updates,
                double(settle.elapsed()) / 1000);
    if (rows.size() < updates)
        ok = false;

    station.terminate();
    station.waitForFinished(10000);
    for (auto& fleet : fleets) {
        fleet->terminate();
        fleet->waitForFinished(5000);
    }
    return ok ? 0 : 1;
}
