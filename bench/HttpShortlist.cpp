// The HTTP libraries on the station's shortlist, measured on what the station needs. Each server
// runs as a child process (this program with --serve NAME, or uploader-station's test build), and
// the driver measures it from the outside with raw sockets on 127.0.0.1:
//   upload  a POST declaring 100 MiB (the limit is 64 MiB) whose body is sent as long as the
//           server reads: the answer, how much of the body the server took, its VmHWM growth;
//   idle    200 connections that send nothing: how many the server still holds after 10 s and
//           after 40 s, and how long a normal request takes meanwhile.
//
//   http_shortlist [--only N]           measures all three (or the Nth, from 1)
//   http_shortlist --serve qt|httplib   (the child)
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <httplib.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr qint64 Limit = 64LL * 1024 * 1024;
constexpr qint64 Declared = 100LL * 1024 * 1024;

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

long statusKiB(qint64 pid, const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLong();
    return -1;
}

int serveQt()
{
    QHttpServer server;
    server.route(QStringLiteral("/upload"), [](const QHttpServerRequest& request) {
        // The handler only ever sees a whole body: it can refuse it only after it was read.
        return request.body().size() > Limit
                   ? QHttpServerResponse(QHttpServerResponder::StatusCode::PayloadTooLarge)
                   : QHttpServerResponse(QByteArrayLiteral("ok"));
    });
    server.route(QStringLiteral("/status"), [] { return QHttpServerResponse(QByteArrayLiteral("{}")); });
    const quint16 port = server.listen(QHostAddress::LocalHost, 0);
    std::printf("http://127.0.0.1:%u\n", unsigned(port));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

int serveHttplib()
{
    httplib::Server server;
    server.set_payload_max_length(size_t(Limit));
    server.Post("/upload", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("ok", "text/plain");
    });
    server.Get("/status", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{}", "application/json");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::printf("http://127.0.0.1:%d\n", port);
    std::fflush(stdout);
    server.listen_after_bind();
    return 0;
}

struct Server
{
    QProcess process;
    quint16 port = 0;
    QByteArray host;
    QByteArray auth;
};

bool start(Server& server, const QString& program, const QStringList& arguments)
{
    server.process.start(program, arguments);
    QByteArray out;
    if (!waitFor(
            [&] {
                out += server.process.readAllStandardOutput();
                return out.contains('\n');
            },
            10000))
        return false;
    server.port = quint16(out.left(out.indexOf('\n')).split(':').last().toUInt());
    server.host = "Host: 127.0.0.1:" + QByteArray::number(server.port) + "\r\n";
    return true;
}

void measureUpload(Server& server)
{
    const qint64 pid = server.process.processId();
    const long before = statusKiB(pid, "VmHWM");
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.port);
    waitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    const QByteArray path = server.auth.isEmpty() ? "/upload" : "/api/v1/firmware?name=big.hex";
    socket.write("POST " + path + " HTTP/1.1\r\n" + server.host + server.auth +
                 "Content-Type: application/octet-stream\r\nContent-Length: " + QByteArray::number(Declared) +
                 "\r\n\r\n");
    const QByteArray chunk(256 * 1024, '0');
    qint64 sent = 0;
    QByteArray answer;
    QElapsedTimer clock;
    clock.start();
    while (sent < Declared && socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < 60000) {
        if (socket.bytesToWrite() < 4 * chunk.size()) {
            socket.write(chunk);
            sent += chunk.size();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        answer += socket.readAll();
        if (!answer.isEmpty())
            break;
    }
    waitFor(
        [&] {
            answer += socket.readAll();
            return answer.contains("\r\n\r\n") || socket.state() != QAbstractSocket::ConnectedState;
        },
        30000);
    const qint64 taken = sent - socket.bytesToWrite();
    std::printf("  upload: answer \"%s\" after %.1f MiB sent (at most that much read); VmHWM +%.1f MiB\n",
                answer.left(answer.indexOf('\r')).constData(), double(taken) / 1048576.0,
                double(statusKiB(pid, "VmHWM") - before) / 1024.0);
}

void measureIdle(Server& server)
{
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 200; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, server.port);
    }
    waitFor([] { return false; }, 500);
    // A normal request while they are there.
    QTcpSocket probe;
    QElapsedTimer clock;
    clock.start();
    probe.connectToHost(QHostAddress::LocalHost, server.port);
    waitFor([&] { return probe.state() == QAbstractSocket::ConnectedState; }, 5000);
    const QByteArray path = server.auth.isEmpty() ? "/status" : "/api/v1/runs";
    probe.write("GET " + path + " HTTP/1.1\r\n" + server.host + server.auth + "Connection: close\r\n\r\n");
    QByteArray answer;
    const bool answered = waitFor(
        [&] {
            answer += probe.readAll();
            return answer.contains("\r\n\r\n");
        },
        15000);
    const double probeMs = double(clock.nsecsElapsed()) / 1e6;
    const auto open = [&] {
        return std::count_if(sockets.begin(), sockets.end(),
                             [](const auto& s) { return s->state() == QAbstractSocket::ConnectedState; });
    };
    waitFor([] { return false; }, 9500);
    const auto after10 = open();
    waitFor([&] { return open() == 0; }, 30000);
    std::printf(
        "  idle: 200 connections, %ld still open after 10 s, %ld after 40 s; a request meanwhile: %s\n",
        long(after10), long(open()),
        answered ? qPrintable(QStringLiteral("answered in %1 ms").arg(probeMs, 0, 'f', 1))
                 : "no answer within 15 s");
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--serve"))
        return args.at(2) == QLatin1String("qt") ? serveQt() : serveHttplib();

    struct Candidate
    {
        const char* name;
        QString program;
        QStringList arguments;
    };
    QTemporaryDir state;
    const std::vector<Candidate> candidates{
        {"Qt HTTP Server 6.4", app.applicationFilePath(), {QStringLiteral("--serve"), QStringLiteral("qt")}},
        {"cpp-httplib 0.11 (payload limit 64 MiB)",
         app.applicationFilePath(),
         {QStringLiteral("--serve"), QStringLiteral("httplib")}},
        {"libmicrohttpd 0.9.75 (uploader-station, idle time-out 30 s)",
         QStringLiteral(BENCH_STATION),
         {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--state-dir"),
          state.path(), QStringLiteral("--max-connections-per-client"), QStringLiteral("300"),
          QStringLiteral("--max-connections"), QStringLiteral("300"), QStringLiteral("--history"),
          state.filePath(QStringLiteral("history.sqlite"))}},
    };
    const qsizetype only = args.indexOf(QStringLiteral("--only"));
    for (size_t i = 0; i < candidates.size(); ++i) {
        const Candidate& candidate = candidates[i];
        if (only > 0 && only + 1 < args.size() && args.at(only + 1).toUInt() != i + 1)
            continue;
        std::printf("%s\n", candidate.name);
        Server server;
        if (!start(server, candidate.program, candidate.arguments)) {
            std::printf("  did not start\n");
            continue;
        }
        QFile token(state.filePath(QStringLiteral("token")));
        if (candidate.program == QLatin1String(BENCH_STATION) && token.open(QIODevice::ReadOnly))
            server.auth = "Authorization: Bearer " + token.readAll().trimmed() + "\r\n";
        measureUpload(server);
        measureIdle(server);
        server.process.terminate();
        if (!server.process.waitForFinished(5000))
            server.process.kill();
        server.process.waitForFinished(5000);
        std::fflush(stdout);
    }
    return 0;
}
