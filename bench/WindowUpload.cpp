// One upload through the operator's real window, offscreen, timed from the inside.
//
//   bench_window_upload --port PORT --file HEX --records N [--debug] [--timeout-s S]
//                       [--history URL] [--to-end [--time-scale X]]
//   bench_window_upload --file HEX --check-only
//
// The window is built, shown and driven as an operator would: address and port typed into their
// boxes, the file chosen through File > Open, Debug checked in the Tools menu (Debug build title),
// Load and Start clicked. The clock runs from the unit's reply to the product-code frame (the
// first record goes out in response) to the acknowledgement of the N-th record line. The window
// is closed right then, so the reboot waits, which that part does not include, are not sat out;
// program time runs at scale 1, exactly as for an operator.
//
// While the clock runs, a 10 ms timer on the window's thread records how late each of its ticks
// comes. Prints one line of key=value results; exits non-zero when the upload fails.
//
// --to-end lets the update run to its own end, whichever it is, and prints how it ended
// (succeeded=0|1 and the log's last line) instead; --time-scale shortens its waits (reboot waits
// of seconds take milliseconds). For measuring memory, not time.
//
// --history records the update in that history, as the window does by default; without it the
// window records nothing, so that the engine's time is measured alone.
//
// --check-only chooses the file and stops once the window has checked it (a large file is checked
// in slices between events), printing how long that took and how late the 10 ms tick came.

#include "platform/Ethernet.h"
#include "settings/ProductVariant.h"
#include "ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include "CpuTime.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr qint64 ReplySize = 8;
constexpr auto TickPeriod = std::chrono::milliseconds(10);

QString argument(const QStringList& args, const QString& name, const QString& fallback = {})
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
}

long long micros(Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

// The offscreen platform's notes about window hints and the runtime directory say nothing about
// the upload; everything else gets through.
void quietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QLatin1String("propagateSizeHints")) ||
        message.contains(QLatin1String("XDG_RUNTIME_DIR")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

// Chooses the file in a fresh window and measures the check it runs between events.
int checkInWindow(const QString& file)
{
    QTemporaryDir settingsDir;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    qputenv("UPLOADER_HISTORY", settingsDir.filePath(QStringLiteral("history.sqlite")).toLocal8Bit());
    const QString title = QStringLiteral("Marlin-ARC Firmware Uploader");
    MainWindow window(title, QStringLiteral("1.0.61"), ProductVariants::forTitle(title));
    window.updates().setHistory(nullptr);
    window.history().close();
    window.show();
    for (int i = 0; i < 200 && !(window.windowHandle() && window.windowHandle()->isExposed()); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    window.setFileChooser([file] { return file; });

    std::vector<long long> lateness;
    Clock::time_point previousTick = Clock::now();
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &window, [&] {
        const Clock::time_point now = Clock::now();
        lateness.push_back(std::max(0LL, micros(now - previousTick - TickPeriod)));
        previousTick = now;
    });
    bool usable = false;
    QObject::connect(&window.updates(), &UpdateController::firmwareChecked, &window, [&](bool ok) {
        usable = ok;
        QTimer::singleShot(0, &window, &QWidget::close);
    });
    const Clock::time_point start = Clock::now();
    const long long cpuAtStart = cpuMicros();
    QTimer::singleShot(0, &window, [&] {
        previousTick = Clock::now();
        ticker.start(TickPeriod);
        window.findChild<QAction*>(QStringLiteral("mnuFileOpen"))->trigger();
    });
    QApplication::exec();
    const long long totalUs = micros(Clock::now() - start);
    const long long cpuUs = cpuMicros() - cpuAtStart;
    std::sort(lateness.begin(), lateness.end());
    std::printf("usable=%d check_us=%lld cpu_us=%lld tick_max_late_us=%lld ticks=%zu\n", usable ? 1 : 0,
                totalUs, cpuUs, lateness.empty() ? 0 : lateness.back(), lateness.size());
    return usable ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    qInstallMessageHandler(quietMessages);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString port = argument(args, QStringLiteral("--port"));
    const QString file = argument(args, QStringLiteral("--file"));
    const qint64 records = argument(args, QStringLiteral("--records")).toLongLong();
    const bool debug = args.contains(QStringLiteral("--debug"));
    const int timeoutS = argument(args, QStringLiteral("--timeout-s"), QStringLiteral("900")).toInt();
    const bool toEnd = args.contains(QStringLiteral("--to-end"));
    const bool checkOnly = args.contains(QStringLiteral("--check-only"));
    const double timeScale = argument(args, QStringLiteral("--time-scale"), QStringLiteral("1")).toDouble();
    if (checkOnly && !file.isEmpty())
        return checkInWindow(file);
    if (port.isEmpty() || file.isEmpty() || records <= 0) {
        std::fprintf(
            stderr,
            "usage: bench_window_upload --port PORT --file HEX --records N [--debug] [--timeout-s S]\n");
        return 2;
    }

    // The operator's saved address and port stay untouched.
    QTemporaryDir settingsDir;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    const QString history = argument(args, QStringLiteral("--history"));
    qputenv(
        "UPLOADER_HISTORY",
        (history.isEmpty() ? settingsDir.filePath(QStringLiteral("history.sqlite")) : history).toLocal8Bit());

    const QString title = debug ? QStringLiteral("Marlin-ARC Firmware Uploader Debug")
                                : QStringLiteral("Marlin-ARC Firmware Uploader");
    MainWindow window(title, QStringLiteral("1.0.61"), ProductVariants::forTitle(title));
    if (history.isEmpty()) {
        window.updates().setHistory(nullptr);
        window.history().close();
    }
    if (timeScale > 0)
        window.setTimeScale(timeScale);
    window.show();
    for (int i = 0; i < 200 && !(window.windowHandle() && window.windowHandle()->isExposed()); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    auto* address = window.findChild<QLineEdit*>(QStringLiteral("EthernetAddress"));
    auto* portBox = window.findChild<QLineEdit*>(QStringLiteral("EthernetPort"));
    auto* loadStart = window.findChild<QPushButton*>(QStringLiteral("LoadStart"));
    auto* open = window.findChild<QAction*>(QStringLiteral("mnuFileOpen"));
    auto* debugMode = window.findChild<QAction*>(QStringLiteral("mnuDebug"));
    auto* log = window.findChild<QListWidget*>(QStringLiteral("ListBox"));
    if (!address || !portBox || !loadStart || !open || !debugMode || !log) {
        std::fprintf(stderr, "bench_window_upload: a control of the window was not found\n");
        return 1;
    }
    address->setText(QStringLiteral("127.0.0.1"));
    portBox->setText(port);
    window.setFileChooser([file] { return file; });
    open->trigger();
    // A large file is checked in slices first.
    while (window.updates().isCheckingFirmware())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    if (debug)
        debugMode->trigger();
    if (!loadStart->isEnabled() || window.isChecked(UploadWindow::Mode::Debug) != debug) {
        std::fprintf(stderr, "bench_window_upload: the window did not take the file or the Debug mode\n");
        return 1;
    }

    // The probe sees every arrival on the update's socket, right after the update has handled it,
    // so the clock stops when the last acknowledgement has been dispatched.
    const qint64 expectedBytes = ReplySize * (records + 1);
    qint64 receivedBytes = 0;
    Clock::time_point first{};
    Clock::time_point last{};
    long long cpuAtFirst = 0;
    long long cpuAtLast = 0;
    bool measuring = false;
    bool done = false;
    bool failed = false;
    const auto probe = [&](qint64 bytes) {
        receivedBytes += bytes;
        if (!measuring && !done && receivedBytes >= ReplySize) {
            first = Clock::now();
            cpuAtFirst = cpuMicros();
            measuring = true;
        }
        if (measuring && !toEnd && receivedBytes >= expectedBytes) {
            last = Clock::now();
            cpuAtLast = cpuMicros();
            measuring = false;
            done = true;
            QTimer::singleShot(0, &window, &QWidget::close);
        }
    };
    bool succeededToEnd = false;
    QObject::connect(&window.updates(), &UpdateController::updateFinished, &window, [&](bool succeeded) {
        if (toEnd) {
            succeededToEnd = succeeded;
            done = true;
            QTimer::singleShot(0, &window, &QWidget::close);
            return;
        }
        if (!done) {
            failed = true;
            std::fprintf(stderr,
                         "bench_window_upload: the update ended (%s) before the last acknowledgement\n",
                         succeeded ? "succeeded" : "failed");
            window.close();
        }
    });

    std::vector<long long> lateness; // microseconds past the due time, one per tick while measuring
    Clock::time_point previousTick{};
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &window, [&] {
        const Clock::time_point now = Clock::now();
        if (measuring && previousTick > first)
            lateness.push_back(std::max(0LL, micros(now - previousTick - TickPeriod)));
        previousTick = now;
    });
    ticker.start(TickPeriod);

    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &window, [&] {
        failed = true;
        std::fprintf(stderr, "bench_window_upload: no end after %d s (%lld of %lld reply bytes)\n", timeoutS,
                     receivedBytes, expectedBytes);
        window.close();
    });
    watchdog.start(std::chrono::seconds(timeoutS));

    QTimer::singleShot(0, &window, [&] {
        loadStart->click();
        // The update made its socket when it started.
        auto* ethernet = window.findChild<Ethernet*>(QStringLiteral("Ethernet"));
        if (!ethernet) {
            failed = true;
            std::fprintf(stderr, "bench_window_upload: the update has no socket\n");
            window.close();
            return;
        }
        QObject::connect(ethernet, &Ethernet::dataArrival, &window, probe);
    });
    app.exec(); // ends when the window closes
    ticker.stop();

    if (failed || !done)
        return 1;
    if (toEnd) {
        const QListWidgetItem* lastLine = log->count() > 0 ? log->item(log->count() - 1) : nullptr;
        std::printf("succeeded=%d log_lines=%d last_line=%s\n", succeededToEnd ? 1 : 0, log->count(),
                    lastLine ? qPrintable(lastLine->text()) : "");
        return 0;
    }
    std::sort(lateness.begin(), lateness.end());
    const long long maxLate = lateness.empty() ? 0 : lateness.back();
    const long long p99Late = lateness.empty() ? 0 : lateness[(lateness.size() - 1) * 99 / 100];
    std::printf("records=%lld first_to_last_us=%lld cpu_us=%lld tick_max_late_us=%lld tick_p99_late_us=%lld "
                "ticks=%zu "
                "log_lines=%d\n",
                records, micros(last - first), cpuAtLast - cpuAtFirst, maxLate, p99Late, lateness.size(),
                log->count());
    return 0;
}
