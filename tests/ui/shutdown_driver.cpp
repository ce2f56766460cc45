// Runs the real window against an in-process simulated unit, starts an update and closes the
// window as soon as the log shows the line that marks the given stage; the close then arrives in
// the middle of the wait that follows that line. Returns app.exec()'s result, or non-zero when
// the close saved settings of an update it cut short, started another update, or took too long.
//
//   ui_shutdown_driver <stage> [--exit-menu]
//   --exit-menu closes through File > Exit instead of the window's own close
//   stages: connection, slow, end-of-file, write-start, write, reboot, loop, refused
#include "UiTestSupport.h"

#include "settings/SettingsStore.h"
#include "unitsim/SimulatedUnit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <optional>

namespace {

struct Stage
{
    const char* name;
    const char* marker; // the log line that starts with this text
    bool slow = false;
    bool loop = false;
    bool refused = false;
};

constexpr Stage Stages[] = {
    {"connection", "Connecting to 127.0.0.1"},
    {"slow", "Wait 30mS...", true},
    {"end-of-file", "Upload complete."},
    {"write-start", "Upload complete, "},
    {"write", "Writing firmware, DO NOT REMOVE POWER!"},
    {"reboot", "Waiting for unit to reboot...."},
    {"loop", "Done!  Unit is ready to use.", false, true},
    {"refused", "Ethernet Error 10061", false, false, true},
};

std::optional<Stage> stageNamed(const QString& name)
{
    for (const Stage& stage : Stages)
        if (name == QLatin1String(stage.name))
            return stage;
    return std::nullopt;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const std::optional<Stage> stage = stageNamed(app.arguments().value(1));
    if (!stage) {
        std::fprintf(stderr, "usage: ui_shutdown_driver <stage> [--exit-menu]\n");
        return 2;
    }

    const bool exitMenu = app.arguments().contains(QStringLiteral("--exit-menu"));
    QTemporaryDir dir;
    UiTest::isolateSettings(dir.path());
    const QString title = UiTest::MarlinTitle + QStringLiteral(" Debug");

    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    if (!unit.listen()) {
        std::fprintf(stderr, "the simulated unit cannot listen: %s\n", qPrintable(unit.errorString()));
        return 2;
    }
    const quint16 port = stage->refused ? UiTest::closedPort() : unit.port();
    const QString hex = UiTest::writeHexFile(dir.path(), QStringLiteral("unit.hex"), 40);

    MainWindow window(title, QStringLiteral("1.0.61"), UiTest::product(title));

    // A quarter of the real waits: a close that did not end a wait at once would show as delay.
    window.setTimeScale(0.25);
    window.show();
    UiTest::control<QLineEdit>(window, "EthernetAddress")->setText(QStringLiteral("127.0.0.1"));
    UiTest::control<QLineEdit>(window, "EthernetPort")->setText(QString::number(port));
    window.setFileChooser([hex] { return hex; });
    UiTest::action(window, "mnuFileOpen")->trigger();
    if (stage->slow) {
        UiTest::action(window, "mnuSlow")->trigger();
        UiTest::action(window, "mnuDebug")->trigger(); // "Wait 30mS..." is a Debug line
    }
    if (stage->loop)
        UiTest::action(window, "mnuLoop")->trigger();

    QElapsedTimer sinceClose;
    QListWidget* log = UiTest::log(window);
    QObject::connect(log->model(), &QAbstractItemModel::rowsInserted, &window,
                     [&](const QModelIndex&, int first, int last) {
                         bool marked = false;
                         for (int row = first; row <= last && !marked; ++row)
                             marked = log->item(row)->text().startsWith(QLatin1String(stage->marker));
                         if (sinceClose.isValid() || !marked)
                             return;
                         std::printf("closing at \"%s\"\n", stage->marker);
                         std::fflush(stdout);
                         sinceClose.start();
                         // Like the operator's click: it arrives through the event queue, inside the next
                         // wait.
                         QMetaObject::invokeMethod(
                             &window,
                             [&window, exitMenu] {
                                 if (exitMenu)
                                     UiTest::action(window, "mnuFileExit")->trigger();
                                 else
                                     window.close();
                             },
                             Qt::QueuedConnection);
                     });
    QTimer::singleShot(0, &window, [&window] { UiTest::control<QPushButton>(window, "LoadStart")->click(); });
    QTimer::singleShot(30000, &app, [] {
        std::fprintf(stderr, "the stage's line never appeared in the log\n");
        QCoreApplication::exit(3);
    });

    const int result = app.exec();
    const qint64 closingMs = sinceClose.isValid() ? sinceClose.elapsed() : -1;
    std::printf("app.exec() returned %d, %lld ms after the close\n", result,
                static_cast<long long>(closingMs));

    // Let the simulated unit take in whatever reached it, then check what the close left behind.
    QEventLoop settle;
    QTimer::singleShot(100, &settle, &QEventLoop::quit);
    settle.exec();
    int failures = 0;
    if (closingMs > 400) {
        std::printf("FAIL: the program took %lld ms to end\n", static_cast<long long>(closingMs));
        ++failures;
    }
    // A close in the wait before a Loop restart comes after a complete update, whose address and
    // port are saved as it ends; a close during an update saves nothing.
    const bool saved = SettingsStore(title).read(QStringLiteral("EthernetPort"), QString()) != QString();
    if (saved != stage->loop) {
        std::printf(saved ? "FAIL: settings were saved\n"
                          : "FAIL: the complete update's settings were not saved\n");
        ++failures;
    }
    if (unit.report().connections.size() > 1) {
        std::printf("FAIL: another update started after the close\n");
        ++failures;
    }
    return failures ? 4 : result;
}
