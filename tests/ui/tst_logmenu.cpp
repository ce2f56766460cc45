// The log leaving the window: the log list's context menu (Copy, Copy All, Save Log As...) and
// Ctrl+C, with the window offscreen.
#include "UiTestSupport.h"

#include "settings/SettingsStore.h"
#include "ui/LogList.h"
#include "ui/LogMenu.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMenu>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

using namespace UiTest;

namespace {

const QStringList Lines{QStringLiteral("Connecting to 192.168.10.11"), QStringLiteral("Unit at 25 °C, Grüße"),
                        QStringLiteral("Done!  Unit is ready to use.")};

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

QString clipboard()
{
    return QGuiApplication::clipboard()->text();
}

} // namespace

class TestLogMenu : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void copy();
    void menuItemsFollowTheLog();
    void linesHeldBack();
    void save();
    void saveDialog();
    void saveFailure();

private:
    // A window whose log holds Lines, the second one selected.
    MainWindow* window();

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_files;
    std::unique_ptr<MainWindow> m_window;
};

void TestLogMenu::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    QVERIFY(m_files.isValid());
    isolateSettings(m_settingsDir.path());
}

void TestLogMenu::init()
{
    SettingsStore(MarlinTitle).removeSection();
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    m_window.reset();
}

MainWindow* TestLogMenu::window()
{
    m_window = std::make_unique<MainWindow>(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    m_window->setTimeScale(0.01);
    for (const QString& line : Lines)
        m_window->appendLog(line);
    m_window->selectLogIndex(1);
    return m_window.get();
}

void TestLogMenu::copy()
{
    MainWindow& w = *window();
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    action(w, "mnuLogCopy")->trigger();
    QCOMPARE(clipboard(), Lines[1]);
    action(w, "mnuLogCopyAll")->trigger();
    QCOMPARE(clipboard(), Lines.join(u'\n'));

    log(w)->setFocus();
    QTRY_VERIFY(log(w)->hasFocus());
    log(w)->setCurrentRow(2);
    QTest::keyClick(log(w), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard(), Lines[2]);

    // Nothing selected: Copy leaves the clipboard alone.
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    log(w)->clearSelection();
    action(w, "mnuLogCopy")->trigger();
    QCOMPARE(clipboard(), QStringLiteral("before"));
}

// Copy needs a selected line and Copy All a line; Ctrl+C still works once the menu has gone.
void TestLogMenu::menuItemsFollowTheLog()
{
    MainWindow& w = *window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* menu = control<QMenu>(w, "mnuLog");
    QVERIFY(menu);
    const auto openMenu = [&] {
        QWidget* viewport = log(w)->viewport();
        const QPoint at(5, 5);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
        QCoreApplication::sendEvent(viewport, &event);
        QTRY_VERIFY(menu->isVisible());
    };

    openMenu();
    QVERIFY(action(w, "mnuLogCopy")->isEnabled());
    QVERIFY(action(w, "mnuLogCopyAll")->isEnabled());
    menu->close();

    w.clearLog();
    openMenu();
    QVERIFY(!action(w, "mnuLogCopy")->isEnabled());
    QVERIFY(!action(w, "mnuLogCopyAll")->isEnabled());
    QVERIFY(action(w, "mnuLogSave")->isEnabled());
    menu->close();
    QTRY_VERIFY(!menu->isVisible());
    QVERIFY(action(w, "mnuLogCopy")->isEnabled());
}

// While records stream the list holds lines back; what leaves the log is the log as written.
void TestLogMenu::linesHeldBack()
{
    QWidget window;
    auto* list = new QListWidget(&window);
    LogList logList(list);
    LogMenu menu(list, logList, &window);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    list->setFocus();
    QTRY_VERIFY(list->hasFocus());
    logList.setCoalescing(true);
    for (const QString& line : Lines)
        logList.append(line);
    logList.select(2);
    QVERIFY(logList.hasPending());

    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard(), Lines[2]);
    logList.select(1);
    menu.copySelection();
    QCOMPARE(clipboard(), Lines[1]);
    logList.append(QStringLiteral("one more"));
    menu.copyAll();
    QCOMPARE(clipboard(), (Lines + QStringList{u"one more"_s}).join(u'\n'));

    logList.append(QStringLiteral("and the last"));
    const QString path = m_files.filePath(u"held-back.txt"_s);
    menu.setSaveChooser([&](const QString&) { return path; });
    menu.saveAs();
    QCOMPARE(readFile(path), (Lines.join(u'\n') + u"\none more\nand the last\n"_s).toUtf8());
}

void TestLogMenu::save()
{
    MainWindow& w = *window();
    // A line break inside a log line would make two lines of the file.
    w.appendLog(QStringLiteral("Cannot open the firmware file /tmp/a\nb.hex"));
    QStringList suggestions;
    QString answer = m_files.filePath(u"saved.txt"_s);
    w.setLogSaveChooser([&](const QString& suggested) {
        suggestions << suggested;
        return answer;
    });

    action(w, "mnuLogSave")->trigger();
    const QByteArray expected =
        (Lines.join(u'\n') + u"\nCannot open the firmware file /tmp/a b.hex\n"_s).toUtf8();
    QCOMPARE(readFile(answer), expected);
    QCOMPARE(logLines(w).size(), Lines.size() + 1); // saving adds nothing to the log

    const QFileInfo first(suggestions.value(0));
    QVERIFY2(QRegularExpression(QStringLiteral("^uploader-log-\\d{4}-\\d\\d-\\d\\d-\\d{4}\\.txt$"))
                 .match(first.fileName())
                 .hasMatch(),
             qPrintable(first.fileName()));
    const QStringList folders{QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
                              QDir::homePath()};
    QVERIFY2(folders.contains(first.absolutePath()), qPrintable(first.absolutePath()));

    // The next save is suggested where the last one went; Cancel writes nothing.
    answer.clear();
    action(w, "mnuLogSave")->trigger();
    QCOMPARE(QFileInfo(suggestions.value(1)).absolutePath(), QDir(m_files.path()).absolutePath());
    QCOMPARE(readFile(m_files.filePath(u"saved.txt"_s)), expected);
}

void TestLogMenu::saveDialog()
{
    MainWindow& w = *window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QString path = m_files.filePath(u"from-dialog.txt"_s);
    QString title, selected;
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    QTimer::singleShot(0, &w, [&] {
        auto* dialog = w.findChild<QFileDialog*>(u"dlgSaveLog"_s);
        if (!dialog)
            return;
        title = dialog->windowTitle();
        mode = dialog->acceptMode();
        selected = dialog->selectedFiles().value(0);
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept();
    });
    action(w, "mnuLogSave")->trigger();

    QCOMPARE(title, QStringLiteral("Save Log As"));
    QCOMPARE(mode, QFileDialog::AcceptSave);
    QVERIFY2(QFileInfo(selected).fileName().startsWith(QStringLiteral("uploader-log-")),
             qPrintable(selected));
    QCOMPARE(readFile(path), (Lines.join(u'\n') + u'\n').toUtf8());
}

void TestLogMenu::saveFailure()
{
    MainWindow& w = *window();
    const QString path = m_files.filePath(u"no such folder/log.txt"_s);
    w.setLogSaveChooser([&](const QString&) { return path; });
    action(w, "mnuLogSave")->trigger();

    QVERIFY(!QFileInfo::exists(path));
    const QStringList lines = logLines(w);
    QCOMPARE(lines.size(), Lines.size() + 1);
    const QString prefix = QStringLiteral("Could not write the log to ") + path + QStringLiteral(": ");
    QVERIFY2(lines.last().startsWith(prefix) && lines.last().size() > prefix.size(),
             qPrintable(lines.last()));
    QCOMPARE(log(w)->currentRow(), lines.size() - 1);
}

QTEST_MAIN(TestLogMenu)
#include "tst_logmenu.moc"
