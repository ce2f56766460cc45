// The window on its own, offscreen: start-up, layout, file selection, the Tools menu, the status
// line and the report of socket errors.
#include "HexFile.h"
#include "UiTestSupport.h"

#include "settings/SettingsStore.h"
#include "unitsim/Fault.h"
#include "unitsim/SimulatedUnit.h"

#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <QTimer>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

using namespace UiTest;

namespace {

// Reboot waits of seconds take milliseconds.
constexpr double Scale = 0.01;

int realMs(int programMs)
{
    return int(std::ceil(programMs * Scale));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void startUp_data();
    void startUp();
    void geometry_data();
    void geometry();
    void clientAreaAndStatusBar();
    void tabOrder();
    void menus_data();
    void menus();

    void fileChoice_data();
    void fileChoice();
    void cancel();
    void fileDialog();
    void fileDialogFolder();
    void fileIsCheckedWhenChosen();
    void textShownAsWritten_data();
    void textShownAsWritten();
    void disabledFileLabelIgnoresClicks();

    void loopChosenTwice();
    void debugResizes();
    void debugOffRestoresStartSize();
    void forgetLoadsDefaults();

    void statusLineBeforeConnection();
    void statusPeriodAfterConnection();
    void socketError_data();
    void socketError();
    void progressBar_data();
    void progressBar();

private:
    QTemporaryDir m_settingsDir;
    QTemporaryDir m_files;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());
    // A file that passes the firmware check, for the tests that only choose it.
    QVERIFY(!writeHexFile(m_files.path(), u"unit.hex"_s, 1).isEmpty());
}

void TestMainWindow::init()
{
    for (const QString& title : {MarlinTitle, VireoTitle, MarlinTitle + QStringLiteral(" Debug")})
        SettingsStore(title).removeSection();
}

void TestMainWindow::startUp_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("toolsShown");
    QTest::newRow("Marlin") << MarlinTitle << "1.0.61"
                            << "Marlin-ARC Firmware Uploader v1.0.61"
                            << "192.168.10.11"
                            << "23" << false;
    QTest::newRow("Marlin Debug") << MarlinTitle + u" Debug"_s << "1.0.61"
                                  << "Marlin-ARC Firmware Uploader Debug v1.0.61"
                                  << "192.168.10.11"
                                  << "23" << true;
    QTest::newRow("Marlin debug, lower case") << MarlinTitle + u" debug"_s << "1.0.61"
                                              << "Marlin-ARC Firmware Uploader debug v1.0.61"
                                              << "192.168.10.11"
                                              << "23" << false;
    QTest::newRow("Vireo Grand, version 2.10.5") << VireoTitle << "2.10.5"
                                                 << "Vireo Grand Firmware Uploader v2.10.5"
                                                 << "192.168.11.2"
                                                 << "5000" << false;
    QTest::newRow("no known product") << "Unknown Uploader"
                                      << "1.0.61"
                                      << "Unknown Uploader v1.0.61"
                                      << ""
                                      << "" << false;
}

void TestMainWindow::startUp()
{
    QFETCH(QString, title);
    QFETCH(QString, version);
    MainWindow window(title, version, UiTest::product(title));
    window.setTimeScale(Scale);

    QCOMPARE(window.objectName(), QStringLiteral("frmMain"));
    QTEST(window.windowTitle(), "caption");
    QCOMPARE(control<QLabel>(window, "FirmwareFile")->text(), QStringLiteral("Select file..."));
    QTEST(control<QLineEdit>(window, "EthernetAddress")->text(), "address");
    QTEST(control<QLineEdit>(window, "EthernetPort")->text(), "port");
    QVERIFY(!control<QPushButton>(window, "LoadStart")->isEnabled());
    QVERIFY(control<QLabel>(window, "FirmwareFile")->isEnabled());
    QVERIFY(control<QLineEdit>(window, "EthernetAddress")->isEnabled());
    QTEST(control<QMenu>(window, "mnuTools")->menuAction()->isVisible(), "toolsShown");
    for (const char* item : {"mnuLoop", "mnuSlow", "mnuDebug"})
        QVERIFY2(!action(window, item)->isChecked(), item);
    QCOMPARE(log(window)->count(), 0);
    QCOMPARE(log(window)->height(), 49);
    QCOMPARE(control<QProgressBar>(window, "ProgressBar")->maximum(), 100);
    QCOMPARE(control<QProgressBar>(window, "ProgressBar")->value(), 0);
    QCOMPARE(statusLine(window), QString());

    auto* timer = control<QTimer>(window, "EthernetStatusTimer");
    QVERIFY(timer);
    QVERIFY(timer->isActive());
    QCOMPARE(window.statusPeriodMs(), 1000);
}

void TestMainWindow::geometry_data()
{
    // Positions in twips / 15 inside the parent: the client area below the menu bar, or a frame.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("rect");
    QTest::newRow("frmFirmwareFile") << "frmFirmwareFile"
                                     << "frmMainClient" << QRect(16, 8, 353, 57);
    QTest::newRow("FirmwareFile") << "FirmwareFile"
                                  << "frmFirmwareFile" << QRect(8, 24, 337, 25);
    QTest::newRow("frmConnectionSettings") << "frmConnectionSettings"
                                           << "frmMainClient" << QRect(16, 80, 353, 81);
    QTest::newRow("lblAddress") << "lblAddress"
                                << "frmConnectionSettings" << QRect(32, 24, 41, 17);
    QTest::newRow("EthernetAddress") << "EthernetAddress"
                                     << "frmConnectionSettings" << QRect(88, 24, 97, 19);
    QTest::newRow("lblPort") << "lblPort"
                             << "frmConnectionSettings" << QRect(32, 48, 41, 17);
    QTest::newRow("EthernetPort") << "EthernetPort"
                                  << "frmConnectionSettings" << QRect(88, 48, 97, 19);
    QTest::newRow("LoadStart") << "LoadStart"
                               << "frmConnectionSettings" << QRect(224, 24, 97, 41);
    QTest::newRow("ProgressBar") << "ProgressBar"
                                 << "frmMainClient" << QRect(16, 176, 353, 17);
    QTest::newRow("ListBox") << "ListBox"
                             << "frmMainClient" << QRect(16, 208, 353, 49);
}

void TestMainWindow::geometry()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* widget = window.findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QTEST(widget->geometry(), "rect");
    QVERIFY(widget->isVisible());
}

void TestMainWindow::clientAreaAndStatusBar()
{
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int menuHeight = window.menuBar()->height();
    QCOMPARE(window.width(), 385);
    QCOMPARE(window.height() - menuHeight, 287);
    QCOMPARE(window.centralWidget()->geometry().top(), menuHeight);
    // The status bar along the bottom edge: 4035 twips down the client area, 270 high.
    auto* status = control<QStatusBar>(window, "sbStatusBar");
    QCOMPARE(status->geometry(), QRect(0, menuHeight + 269, 385, 18));

    const QFont font = window.findChild<QWidget*>(u"EthernetAddress"_s)->font();
    QCOMPARE(font.families().value(0), QStringLiteral("Arial Unicode MS"));
    QCOMPARE(font.pointSizeF(), 8.25);
    QCOMPARE(font.styleHint(), QFont::SansSerif);
}

void TestMainWindow::tabOrder()
{
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    QStringList order;
    QWidget* start = log(window);
    QWidget* widget = start;
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) && window.isAncestorOf(widget) &&
            widget->objectName().length() > 0 && !widget->objectName().startsWith(QLatin1String("qt_")))
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != start);
    QCOMPARE(order, (QStringList{u"ListBox"_s, u"EthernetAddress"_s, u"EthernetPort"_s, u"LoadStart"_s}));
}

void TestMainWindow::menus_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("checkable");
    QTest::newRow("mnuFileOpen") << "mnuFileOpen"
                                 << "&Open" << false;
    QTest::newRow("mnuFileHistory") << "mnuFileHistory"
                                    << "&History..." << false;
    QTest::newRow("mnuFileExit") << "mnuFileExit"
                                 << "E&xit" << false;
    QTest::newRow("mnuLoop") << "mnuLoop"
                             << "&Loop" << true;
    QTest::newRow("mnuSlow") << "mnuSlow"
                             << "&Slow" << true;
    QTest::newRow("mnuDebug") << "mnuDebug"
                              << "&Debug" << true;
    QTest::newRow("mnuForget") << "mnuForget"
                               << "Forget" << false;
}

void TestMainWindow::menus()
{
    QFETCH(QString, name);
    MainWindow window(MarlinTitle + u" Debug"_s, u"1.0.61"_s, UiTest::product(MarlinTitle + u" Debug"_s));
    window.setTimeScale(Scale);
    QCOMPARE(control<QMenu>(window, "mnuFile")->title(), QStringLiteral("&File"));
    QCOMPARE(control<QMenu>(window, "mnuTools")->title(), QStringLiteral("&Tools"));
    auto* item = window.findChild<QAction*>(name);
    QVERIFY(item);
    QTEST(item->text(), "caption");
    QTEST(item->isCheckable(), "checkable");
    QVERIFY(item->isEnabled());
}

void TestMainWindow::fileChoice_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("click on the file label") << "FirmwareFile";
    QTest::newRow("click on the frame") << "frmFirmwareFile";
    QTest::newRow("File > Open") << "mnuFileOpen";
}

void TestMainWindow::fileChoice()
{
    QFETCH(QString, how);
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QString path = m_files.filePath(u"unit.hex"_s);
    int opened = 0;
    window.setFileChooser([&] {
        ++opened;
        return path;
    });

    if (how == u"mnuFileOpen"_s) {
        action(window, "mnuFileOpen")->trigger();
    } else {
        // Off the label, inside the frame's border, for the frame.
        auto* widget = window.findChild<QWidget*>(how);
        const QPoint at =
            how == u"FirmwareFile"_s ? widget->rect().center() : QPoint(4, widget->height() - 4);
        QTest::mouseClick(widget, Qt::LeftButton, {}, at);
    }

    QCOMPARE(opened, 1);
    QCOMPARE(control<QLabel>(window, "FirmwareFile")->text(), QStringLiteral("unit.hex"));
    QCOMPARE(window.updates().firmwarePath(), path);
    QVERIFY(control<QPushButton>(window, "LoadStart")->isEnabled());
}

void TestMainWindow::cancel()
{
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    QString answer;
    window.setFileChooser([&] { return answer; });
    auto* label = control<QLabel>(window, "FirmwareFile");
    auto* loadStart = control<QPushButton>(window, "LoadStart");

    action(window, "mnuFileOpen")->trigger();
    QCOMPARE(label->text(), QStringLiteral("Select file..."));
    QVERIFY(!loadStart->isEnabled());
    QCOMPARE(window.updates().firmwarePath(), QString());

    // A Cancel after a choice keeps it as it was, Load and Start included.
    answer = m_files.filePath(u"unit.hex"_s);
    action(window, "mnuFileOpen")->trigger();
    QVERIFY(loadStart->isEnabled());
    answer.clear();
    action(window, "mnuFileOpen")->trigger();
    QVERIFY(loadStart->isEnabled());
    QCOMPARE(label->text(), QStringLiteral("unit.hex"));
    QCOMPARE(window.updates().firmwarePath(), m_files.filePath(u"unit.hex"_s));
}

void TestMainWindow::fileDialog()
{
    const QString path = writeHexFile(m_files.path(), u"unit.hex"_s, 1);
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // The window's own dialog: answered from inside its modal loop.
    QString title, directory;
    QStringList filters;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    QTimer::singleShot(0, &window, [&] {
        auto* dialog = window.findChild<QFileDialog*>(u"dlgCommonDialog"_s);
        if (!dialog)
            return;
        title = dialog->windowTitle();
        filters = dialog->nameFilters();
        mode = dialog->fileMode();
        directory = dialog->directory().absolutePath();
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept(); // QFileDialog::accept checks that the file exists
    });
    action(window, "mnuFileOpen")->trigger();

    QCOMPARE(title, QStringLiteral("Open Firmware File"));
    QCOMPARE(filters, QStringList{u"Firmware Files (*.hex)"_s});
    QCOMPARE(mode, QFileDialog::ExistingFile);
    QCOMPARE(directory, QDir::current().absolutePath());
    QCOMPARE(window.updates().firmwarePath(), path);
    QCOMPARE(control<QLabel>(window, "FirmwareFile")->text(), QStringLiteral("unit.hex"));
    QVERIFY(control<QPushButton>(window, "LoadStart")->isEnabled());
}

// The dialog opens in the folder of the last choice, however it was made; a folder that has
// gone since gives way to the current directory.
void TestMainWindow::fileDialogFolder()
{
    QTemporaryDir gone;
    QVERIFY(gone.isValid());
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QString directory;
    const auto openDialog = [&] {
        directory.clear();
        QTimer::singleShot(0, &window, [&] {
            if (auto* dialog = window.findChild<QFileDialog*>(u"dlgCommonDialog"_s)) {
                directory = dialog->directory().absolutePath();
                dialog->reject();
            }
        });
        action(window, "mnuFileOpen")->trigger();
    };

    const QString path = writeHexFile(gone.path(), u"unit.hex"_s, 1);
    window.setFileChooser([path] { return path; });
    action(window, "mnuFileOpen")->trigger();
    window.setFileChooser({});
    openDialog();
    QCOMPARE(directory, QDir(gone.path()).absolutePath());

    gone.remove();
    openDialog();
    QCOMPARE(directory, QDir::current().absolutePath());
    QCOMPARE(window.updates().firmwarePath(), path); // the dialog's Cancel keeps the choice
    QVERIFY(control<QPushButton>(window, "LoadStart")->isEnabled());
}

// A file is checked when chosen: one that cannot be sent leaves Load and Start disabled and says
// why; a good one enables it, and with Debug the log shows what will be sent.
void TestMainWindow::fileIsCheckedWhenChosen()
{
    const QString title = MarlinTitle + u" Debug"_s;
    MainWindow window(title, u"1.0.61"_s, UiTest::product(title));
    window.setTimeScale(Scale);
    QList<QByteArray> lines = HexFile::plain(3);
    lines[1].replace(lines[1].size() - 2, 2, "00");
    const QString broken = m_files.filePath(u"broken.hex"_s);
    QFile file(broken);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(HexFile::join(lines));
    file.close();
    window.setFileChooser([broken] { return broken; });
    action(window, "mnuFileOpen")->trigger();
    auto* loadStart = control<QPushButton>(window, "LoadStart");
    QVERIFY(!loadStart->isEnabled());
    QCOMPARE(control<QLabel>(window, "FirmwareFile")->text(), QStringLiteral("broken.hex"));
    QVERIFY2(logLines(window).last().startsWith(u"The firmware file "_s + broken +
                                                u" cannot be sent: line 2: checksum is 00"_s),
             qPrintable(logLines(window).last()));
    QCOMPARE(logBackground(window), QColor(255, 0, 0));

    action(window, "mnuDebug")->trigger();
    const QString good = writeHexFile(m_files.path(), u"good.hex"_s, 40);
    window.setFileChooser([good] { return good; });
    action(window, "mnuFileOpen")->trigger();
    QVERIFY(loadStart->isEnabled());
    QCOMPARE(logLines(window).filter(QRegularExpression(u"^Firmware check: 41 records, 41 to send"_s)).size(),
             1);
    QCOMPARE(logLines(window).at(logLines(window).size() - 2),
             QStringLiteral("Addresses: 0x00000000-0x0000027F"));
    QVERIFY(logLines(window).last().startsWith(u"SHA-256: "_s));
    // The label's tool tip says exactly which file it is: full path, size and SHA-256.
    const QString tip = control<QLabel>(window, "FirmwareFile")->toolTip();
    QVERIFY2(tip.contains(QDir::toNativeSeparators(good).toHtmlEscaped()), qPrintable(tip));
    QVERIFY2(tip.contains(logLines(window).last()), qPrintable(tip));
}

void TestMainWindow::textShownAsWritten_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("file label") << "FirmwareFile";
    QTest::newRow("status line") << "sbStatusBarText";
}

// Markup in a file name or a status line is shown as its characters.
void TestMainWindow::textShownAsWritten()
{
    QFETCH(QString, name);
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    const QString text = QStringLiteral("<b>x.hex");
    if (name == u"FirmwareFile"_s) {
        window.setFileChooser([&] { return m_files.filePath(text); });
        action(window, "mnuFileOpen")->trigger();
    } else {
        window.setStatusText(text);
    }
    auto* label = window.findChild<QLabel*>(name);
    QCOMPARE(label->text(), text);
    // Rendered as markup it would be "x.hex" in bold, narrower than the characters themselves.
    QVERIFY(label->sizeHint().width() >= label->fontMetrics().horizontalAdvance(text));
}

void TestMainWindow::disabledFileLabelIgnoresClicks()
{
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    int opened = 0;
    window.setFileChooser([&] {
        ++opened;
        return QString();
    });
    auto* label = control<QLabel>(window, "FirmwareFile");
    window.setControlEnabled(UploadWindow::Control::FirmwareFile, false);
    QTest::mouseClick(label, Qt::LeftButton, {}, label->rect().center());
    QCOMPARE(opened, 0);
    window.setControlEnabled(UploadWindow::Control::FirmwareFile, true);
    QTest::mouseClick(label, Qt::LeftButton, {}, label->rect().center());
    QCOMPARE(opened, 1); // once, not once for the label and again for its frame
}

void TestMainWindow::loopChosenTwice()
{
    MainWindow window(MarlinTitle + u" Debug"_s, u"1.0.61"_s, UiTest::product(MarlinTitle + u" Debug"_s));
    window.setTimeScale(Scale);
    QAction* loop = action(window, "mnuLoop");
    loop->trigger();
    QVERIFY(loop->isChecked());
    QCOMPARE(statusLine(window), QStringLiteral("Loops: 0"));
    window.setStatusText(QStringLiteral("something else"));
    loop->trigger();
    QVERIFY(!loop->isChecked());
    QVERIFY(!window.isChecked(UploadWindow::Mode::Loop));
    QCOMPARE(window.updates().loopCount(), qint16(0));
    QCOMPARE(statusLine(window), QStringLiteral("Loops: 0"));
}

void TestMainWindow::debugResizes()
{
    MainWindow window(MarlinTitle + u" Debug"_s, u"1.0.61"_s, UiTest::product(MarlinTitle + u" Debug"_s));
    window.setTimeScale(Scale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int width = window.frameGeometry().width();
    const int startHeight = window.frameGeometry().height();
    const QRect logBefore = log(window)->geometry();
    const QRect addressBefore = window.findChild<QWidget*>(u"EthernetAddress"_s)->geometry();
    auto* status = control<QStatusBar>(window, "sbStatusBar");

    // The window grows by as much as the log list does.
    struct Step
    {
        bool debug;
        int outerHeight;
        int logHeight;
    };
    for (const Step step : {Step{true, startHeight + 341, 390}, Step{false, startHeight, 49},
                            Step{true, startHeight + 341, 390}}) {
        action(window, "mnuDebug")->trigger();
        QCOMPARE(window.isChecked(UploadWindow::Mode::Debug), step.debug);
        QTRY_COMPARE(window.frameGeometry().height(), step.outerHeight);
        QCOMPARE(window.frameGeometry().width(), width);
        QCOMPARE(log(window)->geometry(),
                 QRect(logBefore.topLeft(), QSize(logBefore.width(), step.logHeight)));
        QCOMPARE(window.findChild<QWidget*>(u"EthernetAddress"_s)->geometry(), addressBefore);
        QCOMPARE(status->geometry().bottom(), window.height() - 1);
        QCOMPARE(status->height(), 18);
    }
}

// Debug chosen before the window is shown, when the window system has not yet reported its
// frame, and again after: each Debug off gives back the start-up size.
void TestMainWindow::debugOffRestoresStartSize()
{
    MainWindow window(MarlinTitle + u" Debug"_s, u"1.0.61"_s, UiTest::product(MarlinTitle + u" Debug"_s));
    window.setTimeScale(Scale);
    const QSize startSize = window.size();
    QAction* debug = action(window, "mnuDebug");

    debug->trigger();
    QCOMPARE(window.size(), startSize + QSize(0, 341));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int frame = window.frameGeometry().height() - window.height();
    for (int round = 0; round < 2; ++round) {
        debug->trigger();
        QTRY_COMPARE(window.size(), startSize);
        QCOMPARE(window.frameGeometry().height(), startSize.height() + frame);
        QCOMPARE(log(window)->height(), 49);
        debug->trigger();
        QTRY_COMPARE(window.size(), startSize + QSize(0, 341));
    }
}

void TestMainWindow::forgetLoadsDefaults()
{
    const QString title = MarlinTitle + u" Debug"_s;
    SettingsStore store(title);
    QVERIFY(store.write(u"EthernetAddress"_s, u"10.0.0.5"_s));
    QVERIFY(store.write(u"EthernetPort"_s, u"5000"_s));
    MainWindow window(title, u"1.0.61"_s, UiTest::product(title));
    window.setTimeScale(Scale);
    QCOMPARE(window.ethernetAddress(), QStringLiteral("10.0.0.5"));
    QCOMPARE(window.ethernetPort(), QStringLiteral("5000"));
    action(window, "mnuForget")->trigger();
    QCOMPARE(window.ethernetAddress(), QStringLiteral("192.168.10.11"));
    QCOMPARE(window.ethernetPort(), QStringLiteral("23"));
    QCOMPARE(store.read(u"EthernetAddress"_s, u"none"_s), QStringLiteral("none"));
}

void TestMainWindow::statusLineBeforeConnection()
{
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    auto* timer = control<QTimer>(window, "EthernetStatusTimer");
    QCOMPARE(timer->interval(), realMs(1000));
    QTRY_COMPARE(statusLine(window), QStringLiteral("Not connected"));
    window.setStatusText(QStringLiteral("Loops: 3"));
    QTRY_COMPARE(statusLine(window), QStringLiteral("Not connected"));
    QCOMPARE(window.statusPeriodMs(), 1000);
    QCOMPARE(timer->interval(), realMs(1000));
}

void TestMainWindow::statusPeriodAfterConnection()
{
    // A unit that takes the connection and never answers: the update stays connected until its
    // reply time-out.
    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    unit.addFault(*unitsim::Fault::parse(QStringLiteral("silence@0")));
    QVERIFY(unit.listen());
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    auto* timer = control<QTimer>(window, "EthernetStatusTimer");
    QTRY_COMPARE(statusLine(window), QStringLiteral("Not connected"));

    control<QLineEdit>(window, "EthernetAddress")->setText(QStringLiteral("127.0.0.1"));
    control<QLineEdit>(window, "EthernetPort")->setText(QString::number(unit.port()));
    const QString hex = writeHexFile(m_files.path(), u"status.hex"_s, 3);
    window.setFileChooser([hex] { return hex; });
    action(window, "mnuFileOpen")->trigger();
    control<QPushButton>(window, "LoadStart")->click();
    QTRY_COMPARE(statusLine(window), QStringLiteral("Connected to 127.0.0.1"));
    QCOMPARE(window.statusPeriodMs(), 333);
    QCOMPARE(timer->interval(), std::max(1, realMs(333)));

    // It stays at 333 ms once disconnected.
    QTRY_VERIFY_WITH_TIMEOUT(logContains(window, u"Disconnecting from 127.0.0.1"_s), 10000);
    QTRY_COMPARE(statusLine(window), QStringLiteral("Not connected"));
    QCOMPARE(window.statusPeriodMs(), 333);
    QVERIFY(timer->isActive());
}

void TestMainWindow::socketError_data()
{
    const QString portHint =
        QStringLiteral("Hint: Found device but port was not availaible. Verify port number.");
    const QString serverHint =
        QStringLiteral("Hint: Verify Ethernet Interface is configured as 'TCP Server'.");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QAbstractSocket::SocketError>("error");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("Marlin, refused") << MarlinTitle << QAbstractSocket::ConnectionRefusedError
                                     << QStringList{u"earlier"_s, u"Ethernet Error 10061"_s, u"Refused"_s,
                                                    portHint};
    QTest::newRow("Vireo Grand, refused")
        << VireoTitle << QAbstractSocket::ConnectionRefusedError
        << QStringList{u"earlier"_s, u"Ethernet Error 10061"_s, u"Refused"_s, portHint, serverHint};
    QTest::newRow("Vireo Grand, time-out")
        << VireoTitle << QAbstractSocket::SocketTimeoutError
        << QStringList{u"earlier"_s, u"Ethernet Error 10060"_s, u"Refused"_s};
    QTest::newRow("no Windows Sockets number")
        << MarlinTitle << QAbstractSocket::UnknownSocketError
        << QStringList{u"earlier"_s, u"Ethernet Error-1"_s, u"Refused"_s};
}

void TestMainWindow::socketError()
{
    QFETCH(QString, title);
    QFETCH(QAbstractSocket::SocketError, error);
    MainWindow window(title, u"1.0.61"_s, UiTest::product(title));
    window.setTimeScale(Scale);
    window.appendLog(QStringLiteral("earlier"));
    window.updates().showSocketError(error, QStringLiteral("Refused"));

    QTEST(logLines(window), "expected");
    QCOMPARE(logBackground(window), QColor(255, 0, 0));
    QCOMPARE(log(window)->currentRow(), log(window)->count() - 1);
    QVERIFY(!control<QPushButton>(window, "LoadStart")->isEnabled()); // no control is touched
}

void TestMainWindow::progressBar_data()
{
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("barMaximum");
    QTest::addColumn<int>("barValue");
    QTest::newRow("whole blocks") << 250.0 << 17.0 << 250 << 17;
    QTest::newRow("fractions round") << 10.6 << 2.4 << 11 << 2;
    QTest::newRow("value past the maximum shows full") << 40.0 << 41.0 << 40 << 40;
}

void TestMainWindow::progressBar()
{
    QFETCH(double, maximum);
    QFETCH(double, value);
    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    auto* bar = control<QProgressBar>(window, "ProgressBar");
    window.setProgressMaximum(maximum);
    window.setProgressValue(value);
    QCOMPARE(window.progressMaximum(), maximum);
    QCOMPARE(bar->minimum(), 0);
    QTEST(bar->maximum(), "barMaximum");
    QTEST(bar->value(), "barValue");
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
