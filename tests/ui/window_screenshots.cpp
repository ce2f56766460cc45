// Pictures of the window for the documentation: during an update, after a successful one, and
// the tall Debug window. Uploads to an in-process simulated unit; not part of the test run.
//
//   QT_QPA_PLATFORM=offscreen ui_window_screenshots [output directory]
#include "UiTestSupport.h"

#include "unitsim/SimulatedUnit.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

bool save(QWidget& window, const QDir& dir, const QString& name)
{
    const QString path = dir.filePath(name);
    const bool saved = window.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

// Uploads `hex` with the window's own controls and grabs `during` once half of it has gone out
// (if given) and `after` once it is done.
bool upload(QApplication& app, MainWindow& window, quint16 port, const QString& hex, const QDir& out,
            const QString& during, const QString& after)
{
    UiTest::control<QLineEdit>(window, "EthernetAddress")->setText(QStringLiteral("127.0.0.1"));
    UiTest::control<QLineEdit>(window, "EthernetPort")->setText(QString::number(port));
    window.setFileChooser([hex] { return hex; });
    UiTest::action(window, "mnuFileOpen")->trigger();

    bool ok = true;
    bool grabbedDuring = during.isEmpty();
    auto* bar = UiTest::control<QProgressBar>(window, "ProgressBar");
    auto* loadStart = UiTest::control<QPushButton>(window, "LoadStart");
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (!grabbedDuring && bar->maximum() > 1 && bar->value() * 2 >= bar->maximum()) {
            grabbedDuring = true;
            ok = save(window, out, during) && ok;
        }
        if (UiTest::logContains(window, QStringLiteral("Done!  Unit is ready to use.")) && loadStart->isEnabled())
            app.exit(0);
    });
    poll.start(5);
    QTimer::singleShot(0, loadStart, &QPushButton::click);
    QTimer::singleShot(60000, &app, [&app] { app.exit(1); });
    if (app.exec() != 0) {
        std::fprintf(stderr, "the upload did not complete\n");
        return false;
    }
    return save(window, out, after) && ok;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QDir out(app.arguments().value(1, QDir::currentPath()));
    QTemporaryDir dir;
    UiTest::isolateSettings(dir.path());

    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    unit.setLatencyMs(4);
    if (!unit.listen())
        return 2;
    const QString hex = UiTest::writeHexFile(dir.path(), QStringLiteral("marlin-arc-1.0.61.hex"), 300);

    MainWindow window(UiTest::MarlinTitle, QStringLiteral("1.0.61"), UiTest::product(UiTest::MarlinTitle));

    window.setTimeScale(0.05);
    window.show();
    if (!upload(app, window, unit.port(), hex, out, QStringLiteral("window-uploading.png"),
                QStringLiteral("window-done.png")))
        return 1;

    const QString debugTitle = UiTest::MarlinTitle + QStringLiteral(" Debug");
    MainWindow debugWindow(debugTitle, QStringLiteral("1.0.61"), UiTest::product(debugTitle));
    debugWindow.setTimeScale(0.05);
    debugWindow.show();
    UiTest::action(debugWindow, "mnuDebug")->trigger();
    const QString small = UiTest::writeHexFile(dir.path(), QStringLiteral("small.hex"), 4);
    if (!upload(app, debugWindow, unit.port(), small, out, {}, QStringLiteral("window-debug.png")))
        return 1;
    return 0;
}
