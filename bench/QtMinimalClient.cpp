// A second reference for the upload benchmarks: the same exchange as the yardstick, driven by
// Qt's event loop and QTcpSocket like the tool, but with nothing else (no window, no log, no
// engine). The distance from the yardstick to this client is what the event loop and the socket
// class cost by themselves; the distance from here to the tool is the tool's own.
//
//   upload_qt_minimal HOST PORT FILE
//
// Prints one line of key=value results; exits non-zero on a refusal, a socket error or a stall.

#include <QCoreApplication>
#include <QFile>
#include <QTcpSocket>
#include <QTimer>

#include "CpuTime.h"

#include <chrono>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: upload_qt_minimal HOST PORT FILE\n");
        return 2;
    }
    QList<QByteArray> lines;
    {
        QFile file(QString::fromLocal8Bit(argv[3]));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "upload_qt_minimal: cannot open %s\n", argv[3]);
            return 1;
        }
        while (!file.atEnd()) {
            const QByteArray line = file.readLine().trimmed();
            if (!line.isEmpty())
                lines.append(line);
        }
    }

    const QByteArray productCode = QByteArray::fromHex("FE55AA010036CC");
    const QByteArray ack = QByteArray::fromHex("FD55AA0000000000");
    QTcpSocket socket;
    QByteArray received;
    qsizetype sent = -1; // -1: the product-code frame is out
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point end;
    long long cpuAtStart = 0;
    long long cpu = 0;
    int exitCode = 1;

    QObject::connect(&socket, &QTcpSocket::connected, &app, [&] {
        socket.write(productCode);
        socket.flush();
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, &app, [&] {
        received += socket.readAll();
        while (received.size() >= ack.size()) {
            if (!received.startsWith(ack)) {
                std::fprintf(stderr, "upload_qt_minimal: the unit did not acknowledge\n");
                app.exit(1);
                return;
            }
            received.remove(0, ack.size());
            if (sent == -1) {
                start = std::chrono::steady_clock::now();
                cpuAtStart = cpuMicros();
            }
            if (++sent == lines.size()) {
                end = std::chrono::steady_clock::now();
                cpu = cpuMicros() - cpuAtStart;
                exitCode = 0;
                app.exit(0);
                return;
            }
            socket.write(lines.at(sent));
            socket.flush();
        }
    });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &app, [&] {
        std::fprintf(stderr, "upload_qt_minimal: %s\n", qPrintable(socket.errorString()));
        app.exit(1);
    });
    QTimer::singleShot(std::chrono::minutes(30), &app, [&] {
        std::fprintf(stderr, "upload_qt_minimal: no end after 30 minutes\n");
        app.exit(1);
    });
    socket.connectToHost(QString::fromLocal8Bit(argv[1]), quint16(QByteArray(argv[2]).toUInt()));
    if (app.exec() != 0 || exitCode != 0)
        return 1;
    socket.abort();

    const long long micros = std::chrono::duration_cast<std::chrono::microseconds>(end - start).count();
    std::printf("records=%lld first_to_last_us=%lld cpu_us=%lld\n", (long long)lines.size(), micros, cpu);
    return 0;
}
