// The real window uploading to the simulated unit on 127.0.0.1, driven through its controls.
#include "ReleaseKeys.h"
#include "UiTestSupport.h"

#include "settings/SettingsStore.h"
#include "unitsim/Fault.h"
#include "unitsim/SimulatedUnit.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

using namespace UiTest;

namespace {
constexpr double Scale = 0.01; // reboot waits of seconds take milliseconds
}

class TestWindowUpload : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void uploadCompletes();
    void refusedConnection_data();
    void refusedConnection();
    void fileChosenDuringUpdate();
    void unitEndingRepliesWithCrLf_data();
    void unitEndingRepliesWithCrLf();
    void releasedFirmwareOnly();

private:
    // Fills the boxes with the simulated unit's address and chooses `hexFile` through File > Open.
    static void prepare(MainWindow& window, quint16 port, const QString& hexFile);

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_files;
};

void TestWindowUpload::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());
}

void TestWindowUpload::init()
{
    for (const QString& title : {MarlinTitle, VireoTitle})
        SettingsStore(title).removeSection();
}

void TestWindowUpload::prepare(MainWindow& window, quint16 port, const QString& hexFile)
{
    control<QLineEdit>(window, "EthernetAddress")->setText(QStringLiteral("127.0.0.1"));
    control<QLineEdit>(window, "EthernetPort")->setText(QString::number(port));
    window.setFileChooser([hexFile] { return hexFile; });
    action(window, "mnuFileOpen")->trigger();
}

void TestWindowUpload::uploadCompletes()
{
    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    // Replies 1 ms late keep the connection up across several status ticks (10 ms at this time
    // scale), so one of them sees it; at full speed the 40 records take about a millisecond.
    unit.setLatencyMs(1);
    QVERIFY(unit.listen());
    const QString hex = writeHexFile(m_files.path(), u"marlin.hex"_s, 40);
    QVERIFY(!hex.isEmpty());

    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));

    window.setTimeScale(Scale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    prepare(window, unit.port(), hex);
    auto* loadStart = control<QPushButton>(window, "LoadStart");

    // The count of complete uploads shows until the next status refresh replaces it.
    QString statusAtUploadComplete;
    connect(log(window)->model(), &QAbstractItemModel::rowsInserted, &window,
            [&](const QModelIndex&, int first, int last) {
                for (int row = first; row <= last; ++row)
                    if (log(window)->item(row)->text() == QLatin1String("Upload complete."))
                        statusAtUploadComplete = statusLine(window);
            });

    QTest::mouseClick(loadStart, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(logContains(window, u"Done!  Unit is ready to use."_s), 20000);
    QTRY_VERIFY(loadStart->isEnabled());

    const QStringList lines = logLines(window);
    QCOMPARE(lines.mid(lines.size() - 2), (QStringList{u"Done!  Unit is ready to use."_s, u" "_s}));
    QCOMPARE(logBackground(window), QColor(0, 255, 0));
    QCOMPARE(log(window)->currentRow(), log(window)->count() - 1);
    QCOMPARE(statusAtUploadComplete, QStringLiteral("Loops: 1"));
    QTRY_COMPARE(statusLine(window), QStringLiteral("Not connected"));
    QCOMPARE(window.statusPeriodMs(), 333); // a tick saw the connection
    for (const char* name : {"FirmwareFile", "EthernetAddress", "EthernetPort"})
        QVERIFY2(window.findChild<QWidget*>(QLatin1String(name))->isEnabled(), name);

    QVERIFY(unit.report().cumulative().imageComplete);
    QCOMPARE(unit.report().cumulative().recordsAccepted, 41);
    SettingsStore store(MarlinTitle);
    QCOMPARE(store.read(u"EthernetAddress"_s, {}), QStringLiteral("127.0.0.1"));
    QCOMPARE(store.read(u"EthernetPort"_s, {}), QString::number(unit.port()));
}

void TestWindowUpload::refusedConnection_data()
{
    const QString portHint =
        QStringLiteral("Hint: Found device but port was not availaible. Verify port number.");
    const QString serverHint =
        QStringLiteral("Hint: Verify Ethernet Interface is configured as 'TCP Server'.");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("hints");
    QTest::newRow("Marlin: port hint") << MarlinTitle << QStringList{portHint};
    QTest::newRow("Vireo Grand: both hints") << VireoTitle << QStringList{portHint, serverHint};
}

void TestWindowUpload::refusedConnection()
{
    QFETCH(QString, title);
    QFETCH(QStringList, hints);
    const quint16 port = closedPort();
    QVERIFY(port != 0);
    MainWindow window(title, u"1.0.61"_s, UiTest::product(title));
    window.setTimeScale(Scale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    prepare(window, port, writeHexFile(m_files.path(), u"refused.hex"_s, 3));
    auto* loadStart = control<QPushButton>(window, "LoadStart");

    QTest::mouseClick(loadStart, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(logContains(window, u"Disconnecting from 127.0.0.1"_s), 20000);

    const QStringList lines = logLines(window);
    const int error = lines.indexOf(u"Ethernet Error 10061"_s);
    QVERIFY2(error >= 0, qPrintable(lines.join(u'\n')));
    QVERIFY(!lines.value(error + 1).isEmpty()); // the socket's own description
    QCOMPARE(lines.mid(error + 2, hints.size()), hints);
    if (hints.size() == 1)
        QVERIFY(!lines.value(error + 3).startsWith(u"Hint:"_s));
    QVERIFY(lines.contains(u"Could not establish connection to 127.0.0.1"_s));
    QCOMPARE(logBackground(window), QColor(255, 0, 0));
    QVERIFY(loadStart->isEnabled());
    QCOMPARE(SettingsStore(title).read(u"EthernetPort"_s, u"none"_s), QStringLiteral("none"));
}

void TestWindowUpload::fileChosenDuringUpdate()
{
    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    unit.setLatencyMs(2); // long enough to choose a file in the middle of the stream
    QVERIFY(unit.listen());
    const QString first = writeHexFile(m_files.path(), u"first.hex"_s, 60);
    const QString second = writeHexFile(m_files.path(), u"second.hex"_s, 5);

    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));

    window.setTimeScale(Scale);
    prepare(window, unit.port(), first);
    auto* loadStart = control<QPushButton>(window, "LoadStart");
    QTest::mouseClick(loadStart, Qt::LeftButton);
    QTRY_VERIFY(logContains(window, u"Sending firmware..."_s));
    QVERIFY(window.updates().isUpdateRunning());

    window.setFileChooser([second] { return second; });
    action(window, "mnuFileOpen")->trigger();
    QCOMPARE(control<QLabel>(window, "FirmwareFile")->text(), QStringLiteral("second.hex"));
    QVERIFY(!loadStart->isEnabled()); // not on top of the running update
    QVERIFY(window.updates().isUpdateRunning());

    QTRY_VERIFY_WITH_TIMEOUT(logContains(window, u"Done!  Unit is ready to use."_s), 20000);
    QTRY_VERIFY(loadStart->isEnabled());
    QCOMPARE(unit.report().connections.value(0).recordsAccepted, 61); // the first file went out whole

    QTest::mouseClick(loadStart, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(logContains(window, u"Done!  Unit is ready to use."_s) && loadStart->isEnabled(),
                             20000);
    QCOMPARE(unit.report().connections.size(), 2);
    QCOMPARE(unit.report().connections.value(1).recordsAccepted, 6);
}

void TestWindowUpload::unitEndingRepliesWithCrLf_data()
{
    QTest::addColumn<bool>("debug");
    QTest::newRow("Debug off") << false;
    QTest::newRow("Debug on") << true;
}

// A unit that ends every reply with CR LF: a file of 4,000 records completes, with Debug as without.
void TestWindowUpload::unitEndingRepliesWithCrLf()
{
    QFETCH(bool, debug);
    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    unit.addFault(*unitsim::Fault::parse(u"suffix:0D0A@0"_s));
    QVERIFY(unit.listen());
    const QString hex = writeHexFile(m_files.path(), u"crlf.hex"_s, 4000);
    const QString title = MarlinTitle + u" Debug"_s;
    MainWindow window(title, u"1.0.61"_s, UiTest::product(title));
    window.setTimeScale(Scale);
    prepare(window, unit.port(), hex);
    if (debug)
        action(window, "mnuDebug")->trigger();
    QTest::mouseClick(control<QPushButton>(window, "LoadStart"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(logContains(window, u"Done!  Unit is ready to use."_s) ||
                                 logContains(window, u"Disconnecting from 127.0.0.1"_s),
                             60000);
    QVERIFY2(logContains(window, u"Done!  Unit is ready to use."_s), qPrintable(logLines(window).last()));
    QCOMPARE(logBackground(window), QColor(0, 255, 0));
    QVERIFY(unit.report().cumulative().imageComplete);
    QVERIFY(unit.report().cumulative().recordsAccepted > 4000);
}

QTEST_MAIN(TestWindowUpload)
#include "tst_windowupload.moc"

// With AllowedSigners in the settings, a file without a good signature is refused like a malformed
// one; a signed one is sent, and its tool tip names the signer.
void TestWindowUpload::releasedFirmwareOnly()
{
    const ReleaseKeys keys;
    QVERIFY(keys.isValid());
    SettingsStore store(MarlinTitle);
    QString error;
    QVERIFY(store.write(u"AllowedSigners"_s, keys.allowedSigners(), &error));
    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    QVERIFY(unit.listen());
    const QString hex = writeHexFile(m_files.path(), u"released.hex"_s, 20);
    QFile::remove(hex + u".sig"_s);

    MainWindow window(MarlinTitle, u"1.0.61"_s, UiTest::product(MarlinTitle));
    window.setTimeScale(Scale);
    window.show();
    auto* loadStart = control<QPushButton>(window, "LoadStart");
    prepare(window, unit.port(), hex);
    QTRY_VERIFY_WITH_TIMEOUT(logContains(window, u"The firmware file "_s + hex +
                                                     u" cannot be sent: no signature ("_s + hex +
                                                     u".sig is missing)"_s),
                             10000);
    QVERIFY(!loadStart->isEnabled());
    QCOMPARE(logBackground(window), QColor(255, 0, 0));

    QVERIFY(keys.sign(hex));
    action(window, "mnuFileOpen")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(loadStart->isEnabled(), 10000);
    QVERIFY(window.findChild<QWidget*>(u"FirmwareFile"_s)
                ->toolTip()
                .contains(u"Signed by: "_s + ReleaseKeys::Release));
    QTest::mouseClick(loadStart, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(logContains(window, u"Done!  Unit is ready to use."_s), 20000);
    QVERIFY(unit.report().cumulative().imageComplete);
    QVERIFY(store.removeKeys({u"AllowedSigners"_s}));
}
