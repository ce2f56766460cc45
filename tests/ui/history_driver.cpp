// Runs the real window with its history at a given location (the settings key HistoryLocation),
// does one update against an in-process simulated unit and prints what an operator would see:
//   warning: TEXT        the history's warning beside the status line, if any
//   log: LINE            each line of the log
//   colour: green|red    the log's colour at the end
// For the tests of histories that cannot be used, some of which need another user than root
// (a read-only file), so the window runs in a process of its own.
//
//   ui_history_driver LOCATION FOLDER   FOLDER: where the settings and the firmware file go
#include "UiTestSupport.h"

#include "settings/SettingsStore.h"
#include "unitsim/SimulatedUnit.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (app.arguments().size() != 3) {
        std::fprintf(stderr, "usage: ui_history_driver LOCATION FOLDER\n");
        return 2;
    }
    const QString folder = app.arguments().at(2);
    UiTest::isolateSettings(folder);
    const QString title = UiTest::MarlinTitle;
    if (!SettingsStore(title).write(QLatin1String(MainWindow::HistoryLocationKey), app.arguments().at(1))) {
        std::fprintf(stderr, "cannot write the settings in %s\n", qPrintable(folder));
        return 2;
    }

    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    if (!unit.listen())
        return 2;
    const QString hex = UiTest::writeHexFile(folder, QStringLiteral("unit.hex"), 30);

    MainWindow window(title, QStringLiteral("1.0.61"), UiTest::product(title));
    window.setTimeScale(0.01);
    window.show();
    UiTest::control<QLineEdit>(window, "EthernetAddress")->setText(QStringLiteral("127.0.0.1"));
    UiTest::control<QLineEdit>(window, "EthernetPort")->setText(QString::number(unit.port()));
    window.setFileChooser([hex] { return hex; });
    UiTest::action(window, "mnuFileOpen")->trigger();

    QObject::connect(&window.updates(), &UpdateController::updateFinished, &window, [&window] {
        // The writer's trouble may come a moment after the update: give it time to arrive.
        QTimer::singleShot(1500, &window, &QWidget::close);
    });
    QTimer::singleShot(0, &window, [&window] { UiTest::control<QPushButton>(window, "LoadStart")->click(); });
    QTimer::singleShot(30000, &app, [] { QCoreApplication::exit(3); });
    const int result = app.exec();

    if (!window.historyWarning().isEmpty())
        std::printf("warning: %s\n", qPrintable(window.historyWarning()));
    for (const QString& line : UiTest::logLines(window))
        std::printf("log: %s\n", qPrintable(line));
    const QColor colour = UiTest::logBackground(window);
    std::printf("colour: %s\n", colour == QColor(0, 255, 0)   ? "green"
                                : colour == QColor(255, 0, 0) ? "red"
                                                              : "white");
    return result;
}
