// The window's side of updates against a recording window: Loop, the log's limit, what the
// controls and the settings do at each end of an update.
#include "HexFile.h"
#include "RawPeer.h"
#include "RecordingWindow.h"
#include "WaitUntil.h"

#include "settings/ProductVariant.h"
#include "settings/SettingsStore.h"
#include "ui/UpdateController.h"
#include "unitsim/Fault.h"
#include "unitsim/SimulatedUnit.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

using Colour = UploadWindow::LogColour;
using Mode = UploadWindow::Mode;

namespace {

const QString Marlin = QStringLiteral("Marlin-ARC Firmware Uploader");
constexpr double Scale = 0.02;

// A controller with a recording window, for a simulated unit on 127.0.0.1.
struct Fixture
{
    explicit Fixture(int records = 3)
        : store(Marlin), controller(window, store, Marlin, ProductVariants::forTitle(Marlin)),
          started(&controller, &UpdateController::updateStarted),
          finished(&controller, &UpdateController::updateFinished)
    {
        unit.listen();
        controller.setTimeScale(Scale);
        window.address = QStringLiteral("127.0.0.1");
        window.port = QString::number(unit.port());
        const QString path = dir.filePath(QStringLiteral("unit.hex"));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(HexFile::join(HexFile::plain(records)));
        file.close();
        controller.chooseFirmware(path);
    }

    void addFault(const QString& text) { unit.addFault(*unitsim::Fault::parse(text)); }

    bool runUpdate(int timeoutMs = 20000)
    {
        const qsizetype before = finished.size();
        controller.loadStart();
        return waitUntil([&] { return finished.size() > before && !controller.isUpdateRunning(); },
                         timeoutMs);
    }

    bool saved() const { return !store.read(QStringLiteral("EthernetPort"), {}).isEmpty(); }

    QTemporaryDir dir;
    RecordingWindow window;
    SettingsStore store;
    UpdateController controller;
    unitsim::SimulatedUnit unit{unitsim::Model::Marlin};
    QSignalSpy started;
    QSignalSpy finished;
};

} // namespace

class UpdateControllerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settingsDir;

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
    }
    void init() { SettingsStore(Marlin).removeSection(); }

    void completeUpdateGivesEverythingBackAndSaves()
    {
        Fixture f(40);
        QVERIFY(f.runUpdate());
        QVERIFY(f.controller.lastSucceeded());
        QCOMPARE(f.window.lastColour(), Colour::Green);
        QVERIFY(f.window.allControlsEnabled());
        QCOMPARE(f.window.status, QStringLiteral("Loops: 1"));
        QCOMPARE(f.window.selected, int(f.window.log.size()) - 1);
        QCOMPARE(f.window.progress, f.window.progressMax);
        QCOMPARE(f.store.read(QStringLiteral("EthernetAddress"), {}), QStringLiteral("127.0.0.1"));
        QCOMPARE(f.store.read(QStringLiteral("EthernetPort"), {}), QString::number(f.unit.port()));
        QCOMPARE(f.controller.socketState(), 0);
        QCOMPARE(f.controller.remoteHost(), QStringLiteral("127.0.0.1"));
    }

    void progressMaximumCountsBlocksOf128Bytes_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::addColumn<double>("maximum");
        QTest::newRow("13 bytes") << 13 << 1.0;
        QTest::newRow("127 bytes") << 127 << 1.0;
        QTest::newRow("128 bytes") << 128 << 2.0;
        QTest::newRow("1,000 bytes") << 1000 << 8.0;
    }

    void progressMaximumCountsBlocksOf128Bytes()
    {
        QFETCH(int, bytes);
        QFETCH(double, maximum);
        Fixture f;
        f.addFault(QStringLiteral("silence@0"));
        QFile file(f.controller.firmwarePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        // The end-of-file record alone, and a note after it to make up the size.
        const QByteArray end = HexFile::endOfFile() + "\r\n";
        file.write(end + QByteArray(bytes - end.size(), 'x'));
        file.close();
        f.controller.loadStart();
        QVERIFY(
            waitUntil([&] { return f.window.log.contains(QStringLiteral("Sending firmware...")); }, 5000));
        QCOMPARE(f.window.progressMax, maximum);
        f.controller.shutdown();
    }

    // A refusal after the unit was reached ends Loop mode and saves nothing; a connection that
    // never came leaves Loop alone.
    void failuresAndLoop_data()
    {
        QTest::addColumn<QString>("faultText");
        QTest::addColumn<bool>("loopAfter");
        QTest::newRow("refused") << "refuse:02@3" << false;
        QTest::newRow("silent") << "silence@3" << false;
        QTest::newRow("nobody listening") << "" << true;
    }

    void failuresAndLoop()
    {
        QFETCH(QString, faultText);
        QFETCH(bool, loopAfter);
        Fixture f;
        if (faultText.isEmpty())
            f.unit.stopListening();
        else
            f.addFault(faultText);
        f.window.checked[Mode::Loop] = true;
        QVERIFY(f.runUpdate());
        QVERIFY(!f.controller.lastSucceeded());
        QCOMPARE(f.window.lastColour(), Colour::Red);
        QCOMPARE(f.window.log.last(), QStringLiteral("Disconnecting from 127.0.0.1"));
        QVERIFY(f.window.allControlsEnabled());
        QCOMPARE(f.window.checked.value(Mode::Loop), loopAfter);
        QVERIFY(!f.saved());
        QTest::qWait(int(3000 * Scale));
        QCOMPARE(f.started.size(), 1); // no restart after a failure
    }

    void loopRestartsTwoSecondsAfterEachSuccess()
    {
        Fixture f;
        f.window.checked[Mode::Loop] = true;
        QList<double> greens;
        QList<double> starts;
        QElapsedTimer clock;
        clock.start();
        const auto now = [&] { return double(clock.nsecsElapsed()) / 1e9 / Scale; };
        connect(&f.controller, &UpdateController::updateFinished, &f.controller, [&] { greens << now(); });
        connect(&f.controller, &UpdateController::updateStarted, &f.controller, [&] { starts << now(); });
        f.controller.loadStart();
        QVERIFY(waitUntil([&] { return f.started.size() >= 3; }, 20000));
        for (int i = 0; i < 2; ++i)
            QVERIFY2(starts.at(i + 1) - greens.at(i) >= 2.0,
                     qPrintable(QString::number(starts.at(i + 1) - greens.at(i))));
        // During the wait only Load and Start is the operator's.
        f.window.checked[Mode::Loop] = false;
        QVERIFY(waitUntil([&] { return f.finished.size() >= 3 && !f.controller.isUpdateRunning(); }, 20000));
        QVERIFY(f.controller.loopCount() >= 3);
        QCOMPARE(f.window.status, QStringLiteral("Loops: ") + QString::number(f.controller.loopCount()));
        for (const auto& connection : f.unit.report().connections)
            QVERIFY(connection.imageComplete);
    }

    // Load and Start during the wait before a Loop restart: that update runs, and no restart
    // comes on top of it.
    void loadStartDuringTheLoopWaitReplacesTheRestart()
    {
        Fixture f;
        f.window.checked[Mode::Loop] = true;
        bool controlsDuringWait = true;
        connect(&f.controller, &UpdateController::updateFinished, &f.controller, [&](bool ok) {
            if (!ok || f.started.size() != 1)
                return;
            controlsDuringWait = f.window.enabled.value(UploadWindow::Control::EthernetAddress);
            f.window.checked[Mode::Loop] = false;
            QTimer::singleShot(int(500 * Scale), &f.controller, [&] { f.controller.loadStart(); });
        });
        f.controller.loadStart();
        QVERIFY(waitUntil([&] { return f.finished.size() >= 2 && !f.controller.isUpdateRunning(); }, 20000));
        QTest::qWait(int(3000 * Scale));
        QCOMPARE(f.started.size(), 2);
        QCOMPARE(f.unit.report().connections.size(), 2);
        QVERIFY(!controlsDuringWait);
        QVERIFY(f.window.allControlsEnabled());
    }

    // The unit's unknown reply gives the window back with the connection still open; the next
    // Load and Start drops it and starts afresh.
    void stalledUpdateGivesTheControlsBack()
    {
        Fixture f(20);
        f.addFault(QStringLiteral("unknown-reply@5#1"));
        f.addFault(QStringLiteral("stray:1234@5#1"));
        f.controller.loadStart();
        QVERIFY(waitUntil([&] { return f.controller.isStalled(); }, 5000));
        QVERIFY(f.window.allControlsEnabled());
        QCOMPARE(f.window.lastColour(), Colour::Red);
        QCOMPARE(f.controller.socketState(), 7);
        QCOMPARE(f.finished.size(), 0);
        QVERIFY(f.runUpdate());
        QVERIFY(f.controller.lastSucceeded());
        QCOMPARE(f.unit.report().connections.size(), 2);
        QVERIFY(!f.unit.report().connections.at(0).open);
        QVERIFY(f.unit.report().connections.at(1).imageComplete);
    }

    // A refusal ends Loop mode at once: the refusal's lines already find Loop unchecked, before the
    // settle wait and the end of the update.
    void refusalUnchecksLoopAtOnce()
    {
        Fixture f(20);
        f.addFault(QStringLiteral("refuse:01@4"));
        f.window.checked[Mode::Loop] = true;
        QStringList loopWhen;
        f.window.onAppend = [&](const QString& line) {
            if (line.startsWith(u"NAK"_s) || line.startsWith(u"Device responded"_s))
                loopWhen << (f.window.checked.value(Mode::Loop) ? u"checked"_s : u"unchecked"_s);
        };
        QVERIFY(f.runUpdate());
        QCOMPARE(loopWhen, (QStringList{u"unchecked"_s, u"unchecked"_s}));
    }

    // "Disconnecting from" names the Address box as it reads when the update lets go of the unit:
    // here the operator edited it after the unknown reply gave the controls back, and then the
    // unit closed the connection of the stalled update.
    void disconnectingNamesTheAddressBoxAsItReadsNow()
    {
        Fixture f(20);
        RawPeer peer;
        peer.answer = [](int message, const QByteArray&) {
            return message < 3 ? QByteArray::fromHex("fd55aa0000000000")
                               : QByteArray::fromHex("1234fd55aaff0000");
        };
        f.window.port = QString::number(peer.port());
        f.controller.loadStart();
        QVERIFY(waitUntil([&] { return f.controller.isStalled(); }, 5000));
        QCOMPARE(f.window.log.last(), u"Press Load and Start to try again."_s);
        f.window.address = QStringLiteral("10.9.8.7");
        peer.socket->disconnectFromHost();
        QVERIFY(waitUntil([&] { return f.finished.size() == 1; }, 5000));
        QCOMPARE(f.window.log.last(), u"Disconnecting from 10.9.8.7"_s);
        QVERIFY(f.window.log.contains(u"Connecting to 127.0.0.1"_s));
    }

    // Load and Start replacing a stalled update lets go of its connection at once: the status line
    // no longer names the old unit while the new update checks a large file.
    void replacingAStalledUpdateShowsNotConnected()
    {
        Fixture f(20);
        f.addFault(QStringLiteral("unknown-reply@5#1"));
        f.addFault(QStringLiteral("stray:1234@5#1"));
        f.controller.loadStart();
        QVERIFY(waitUntil([&] { return f.controller.isStalled(); }, 5000));
        QCOMPARE(f.controller.socketState(), 7);

        QFile big(f.controller.firmwarePath());
        QVERIFY(big.open(QIODevice::WriteOnly | QIODevice::Truncate));
        big.write(HexFile::join(HexFile::plain(60000))); // a few slices of checking
        big.close();
        f.controller.loadStart();
        QCOMPARE(f.controller.socketState(), 0);
        QTest::qWait(1);
        QVERIFY(f.controller.isUpdateRunning());
        QCOMPARE(f.controller.socketState(), 0);
        QVERIFY(waitUntil([&] { return f.finished.size() == 1; }, 30000));
    }

    void scrollLogKeepsTheNewestLines()
    {
        Fixture f;
        for (int i = 0; i < 25002; ++i) {
            f.window.log.append(QString::number(i));
            f.window.logTimes.append(0);
        }
        f.controller.scrollLog();
        QCOMPARE(f.window.log.size(), 25000);
        QCOMPARE(f.window.log.first(), QStringLiteral("2"));
        QCOMPARE(f.window.selected, 24999);
        f.window.clearLog();
        f.controller.scrollLog();
        QCOMPARE(f.window.selected, -1);
    }

    // The window closing mid-update: nothing more is shown, sent or saved.
    void shutdownStopsEverything()
    {
        Fixture f(200);
        f.unit.setLatencyMs(1);
        f.controller.loadStart();
        QVERIFY(waitUntil([&] { return f.unit.report().cumulative().recordsAccepted >= 20; }, 5000));
        f.controller.shutdown();
        const qsizetype lines = f.window.log.size();
        const qsizetype received = f.unit.report().cumulative().messages.size();
        QTest::qWait(100);
        QCOMPARE(f.window.log.size(), lines);
        QCOMPARE(f.unit.report().cumulative().messages.size(), received);
        QCOMPARE(f.finished.size(), 0);
        f.controller.loadStart();
        QCOMPARE(f.started.size(), 1);
        QVERIFY(!f.saved());
    }
};

QTEST_GUILESS_MAIN(UpdateControllerTest)
#include "tst_updatecontroller.moc"
