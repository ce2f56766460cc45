#include "EngineFixture.h"

#include "FlashImage.h"
#include "RecordRules.h"
#include "TimeScale.h"

#include <QSettings>

using unitsim::Fault;
using unitsim::MessageKind;
using unitsim::Model;
using Colour = UploadWindow::LogColour;

namespace {

const QString Marlin = QStringLiteral("Marlin-ARC Firmware Uploader");
const QString RefusalLine = QStringLiteral("Device responded with an error.  Please try again.");

// The image a unit should hold after an upload of these lines: everything but the skipped records.
unitsim::FlashImage expectedImage(const QList<QByteArray>& lines)
{
    QList<QByteArray> sent;
    for (const QByteArray& line : lines)
        if (!line.isEmpty() && RecordRules::skipReason(line) == RecordRules::Skip::None)
            sent.append(line);
    QString error;
    auto image = unitsim::FlashImage::fromIntelHex(HexFile::join(sent, "\n"), &error);
    Q_ASSERT(error.isEmpty());
    return image;
}

// Index of the first log line that the pattern matches anywhere, or -1.
qsizetype find(const QStringList& log, const QString& pattern)
{
    const QRegularExpression re(pattern);
    for (qsizetype i = 0; i < log.size(); ++i)
        if (re.match(log.at(i)).hasMatch())
            return i;
    return -1;
}

Fault fault(Fault::Kind kind, int atMessage, quint8 code = 0x01, int connection = 0)
{
    Fault f;
    f.kind = kind;
    f.atMessage = atMessage;
    f.code = code;
    f.connection = connection;
    return f;
}

} // namespace

Q_DECLARE_METATYPE(unitsim::Model)

class UploaderTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settingsDir;

    static QSettings stored(const QString& title)
    {
        return QSettings(QSettings::IniFormat, QSettings::UserScope, SettingsStore::OrganizationName, title);
    }

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
        // Reboot waits of seconds take milliseconds; one test below runs at real time.
        TimeScale::set(0.02);
    }

    void init()
    {
        TimeScale::set(0.02);
        QDir(m_settingsDir.path()).removeRecursively();
    }

    // ---- update start ------------------------------------------------------------------------

    void startLogWithDebug()
    {
        EngineFixture f;
        f.unit.addFault(fault(Fault::Kind::Silence, 0));
        f.writeFirmware(HexFile::join(HexFile::plain(3)));
        f.setDebug(true);
        f.uploader.loadStart();
        const QStringList& log = f.window.log;
        QCOMPARE(log.first(), QStringLiteral("Connecting to 127.0.0.1"));
        QCOMPARE(log.at(1), QStringLiteral("Connecting..."));
        QVERIFY(log.at(2).startsWith(QStringLiteral("Checking connection at ")));
        QVERIFY(log.at(2).endsWith(QStringLiteral(" mS...")));
        const qsizetype took = log.indexOf(QRegularExpression(QStringLiteral("^It took [0-9,]+ mS to connect\\.$")));
        QVERIFY(took > 2);
        for (qsizetype i = 2; i < took; ++i)
            QVERIFY(log.at(i).startsWith(QStringLiteral("Checking connection at ")));
        QCOMPARE(log.mid(took + 1),
                 (QStringList{QStringLiteral("Programming Marlin/ARC"), QStringLiteral("To Unit  FE 55 AA 01 00 36 CC"),
                              QStringLiteral("Sending firmware...")}));
        QVERIFY(!f.uploader.streamHold());
        QVERIFY(f.uploader.rxBuffer().isEmpty());
    }

    void startLogWithoutDebug()
    {
        EngineFixture f;
        f.unit.addFault(fault(Fault::Kind::Silence, 0));
        f.writeFirmware(HexFile::join(HexFile::plain(3)));
        f.uploader.loadStart();
        QCOMPARE(f.window.log, (QStringList{QStringLiteral("Connecting to 127.0.0.1"), QStringLiteral("Sending firmware...")}));
        QVERIFY(!f.window.enabled.value(UploadWindow::Control::LoadStart));
        QVERIFY(!f.window.enabled.value(UploadWindow::Control::EthernetPort));
    }

    // Each build names its own product; only Caldera 16 first shows its display texts.
    void openingFrames_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<Model>("model");
        QTest::addColumn<QStringList>("kinds");
        QTest::addColumn<QByteArray>("productFrame");
        const QStringList plain{"productCode"};
        QTest::newRow("Tessera") << "Tessera Uploader" << Model::Tessera << plain << QByteArray::fromHex("fe55aa01012dd4");
        QTest::newRow("Caldera 16") << "Caldera 16 Uploader" << Model::Caldera16
                                    << QStringList{"command02", "text", "text", "productCode"}
                                    << QByteArray::fromHex("fe55aa01022dd3");
        QTest::newRow("Vireo Grand") << "Vireo Grand Uploader" << Model::VireoGrand << plain << QByteArray::fromHex("fe55aa010131d0");
        QTest::newRow("Marlin") << Marlin << Model::Marlin << plain << QByteArray::fromHex("fe55aa010036cc");
        QTest::newRow("Quill") << "Quill Uploader" << Model::Quill << plain << QByteArray::fromHex("fe55aa010037cb");
        QTest::newRow("Osprey") << "Osprey Uploader" << Model::Osprey << plain << QByteArray::fromHex("fe55aa010038c9");
    }

    void openingFrames()
    {
        QFETCH(QString, title);
        QFETCH(Model, model);
        QFETCH(QStringList, kinds);
        QFETCH(QByteArray, productFrame);
        EngineFixture f(title, model);
        f.unit.addFault(fault(Fault::Kind::Silence, 0));
        f.writeFirmware(HexFile::join(HexFile::plain(1)));
        f.uploader.loadStart();
        QTRY_COMPARE(f.unitMessageKinds(), kinds);
        const auto messages = f.unit.report().cumulative().messages;
        QCOMPARE(messages.last().bytes, productFrame);
        if (kinds.size() > 1) {
            QCOMPARE(messages.at(0).bytes, QByteArray::fromHex("f0152d0200f7"));
            QCOMPARE(messages.at(1).bytes, QByteArray::fromHex("f0152d010014") + "Updating firmware..." + QByteArray::fromHex("f7"));
            QCOMPARE(messages.at(2).bytes, QByteArray::fromHex("f0152d014019") + "Do not press any buttons!" + QByteArray::fromHex("f7"));
        }
    }

    void nobodyListening()
    {
        EngineFixture f;
        f.unit.stopListening();
        f.setDebug(true);
        f.uploader.setFirmwarePath(f.dir.filePath(QStringLiteral("never-opened.hex")));
        QVERIFY(f.runUpdate());
        const QStringList& log = f.window.log;
        const qsizetype gaveUp = log.indexOf(QStringLiteral("Unit not responding!"));
        QVERIFY(gaveUp > 0);
        QVERIFY(log.at(gaveUp + 1).startsWith(QStringLiteral("After ")));
        QVERIFY(log.at(gaveUp + 1).endsWith(QStringLiteral(" mS, I gave up!")));
        QCOMPARE(log.mid(gaveUp + 2), (QStringList{QStringLiteral("Could not establish connection to 127.0.0.1"),
                                                   QStringLiteral("Disconnecting from 127.0.0.1")}));
        QCOMPARE(f.finished.size(), 1);
        QCOMPARE(f.window.lastColour(), Colour::Red);
        QVERIFY(f.window.allControlsEnabled());
        QVERIFY(!f.uploader.uploadSucceeded());
        // The connection wait ran to its limit, measured on the program's clock.
        QVERIFY(f.window.timeOf(QStringLiteral("Unit not responding!")) - f.window.timeOf(QStringLiteral("Connecting to")) > 3.3);
    }

    // Bad input never reaches the socket and gives the window back at once.
    void badConnectionInput_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("port abc") << Marlin << "127.0.0.1" << "abc" << "Invalid port \"abc\"";
        QTest::newRow("port 0") << Marlin << "127.0.0.1" << "0" << "Invalid port \"0\"";
        QTest::newRow("port 70000") << Marlin << "127.0.0.1" << "70000" << "Invalid port \"70000\"";
        QTest::newRow("port -1") << Marlin << "127.0.0.1" << "-1" << "Invalid port \"-1\"";
        QTest::newRow("port empty") << Marlin << "127.0.0.1" << "" << "Invalid port \"\"";
        QTest::newRow("address empty") << Marlin << "" << "23" << "No unit address given";
        QTest::newRow("no product") << "Firmware Uploader" << "127.0.0.1" << "23" << "is for no known product";
    }

    void badConnectionInput()
    {
        QFETCH(QString, title);
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, complaint);
        EngineFixture f(title);
        f.writeFirmware(HexFile::join(HexFile::plain(1)));
        f.window.address = address;
        f.window.port = port;
        f.uploader.loadStart();
        QCOMPARE(f.finished.size(), 1); // at once, without the connection wait
        QVERIFY2(f.window.log.at(1).contains(complaint), qPrintable(f.window.log.join('|')));
        QCOMPARE(f.window.log.last(), QStringLiteral("Disconnecting from ") + address);
        QCOMPARE(f.window.lastColour(), Colour::Red);
        QVERIFY(f.window.allControlsEnabled());
        QTest::qWait(20);
        QCOMPARE(f.unit.report().connections.size(), 0);
    }

    void progressMaximum_data()
    {
        QTest::addColumn<int>("bytes");
        QTest::addColumn<double>("maximum");
        QTest::newRow("0 bytes") << 0 << 1.0;
        QTest::newRow("127 bytes") << 127 << 1.0;
        QTest::newRow("128 bytes") << 128 << 2.0;
        QTest::newRow("1,000 bytes") << 1000 << 8.0;
    }

    void progressMaximum()
    {
        QFETCH(int, bytes);
        QFETCH(double, maximum);
        EngineFixture f;
        f.unit.addFault(fault(Fault::Kind::Silence, 0));
        f.writeFirmware(QByteArray(bytes, 'x'));
        f.uploader.loadStart();
        QCOMPARE(f.window.progressMax, maximum);
    }

    void unreadableFirmwareEndsTheUpdate()
    {
        EngineFixture f;
        const QString path = f.writeFirmware(HexFile::join(HexFile::plain(2)));
        QFile::remove(path);
        QVERIFY(f.runUpdate());
        QVERIFY2(find(f.window.log, QStringLiteral("^Cannot open the firmware file .*unit\\.hex: ")) >= 0,
                 qPrintable(f.window.log.join('|')));
        QCOMPARE(f.window.lastColour(), Colour::Red);
        QVERIFY(f.window.allControlsEnabled());
        QVERIFY(!f.uploader.isFirmwareFileOpen());
        QTRY_VERIFY(!f.unit.report().connections.isEmpty() && !f.unit.report().connections.last().open);
        QCOMPARE(f.messagesOfKind(MessageKind::ProductCode), 0);
    }

    // ---- finishing ---------------------------------------------------------------------------

    void successPathWaitsForEachVariant_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<Model>("model");
        QTest::addColumn<int>("writeWait");
        QTest::addColumn<int>("rebootWait");
        QTest::newRow("Tessera") << "Tessera" << Model::Tessera << 2333 << 3333;
        QTest::newRow("Caldera 16") << "Caldera 16" << Model::Caldera16 << 2333 << 3333;
        QTest::newRow("Vireo Grand") << "Vireo Grand" << Model::VireoGrand << 2333 << 3333;
        QTest::newRow("Marlin") << Marlin << Model::Marlin << 3666 << 3666;
        QTest::newRow("Quill") << "Quill" << Model::Quill << 1500 << 1500;
        QTest::newRow("Osprey") << "Osprey" << Model::Osprey << 1500 << 1500;
    }

    void successPathWaitsForEachVariant()
    {
        QFETCH(QString, title);
        QFETCH(Model, model);
        QFETCH(int, writeWait);
        QFETCH(int, rebootWait);
        EngineFixture f(title, model);
        f.writeFirmware(HexFile::join(HexFile::plain(4)));
        QVERIFY(f.runUpdate());
        QVERIFY(f.lastSucceeded());
        const RecordingWindow& w = f.window;
        const double complete = w.timeOf(QStringLiteral("Upload complete, "));
        const double writing = w.timeOf(QStringLiteral("Writing firmware, DO NOT REMOVE POWER!"));
        const double rebooting = w.timeOf(QStringLiteral("Waiting for unit to reboot...."));
        const double done = w.timeOf(QStringLiteral("Done!"));
        QVERIFY(complete > 0 && writing > complete && rebooting > writing && done > rebooting);
        QVERIFY(writing - complete >= 1.0);
        QVERIFY(rebooting - writing >= writeWait / 1000.0);
        QVERIFY(done - rebooting >= rebootWait / 1000.0);
        QCOMPARE(w.log.mid(w.log.size() - 4), (QStringList{" ", " ", "Done!  Unit is ready to use.", " "}));
        QCOMPARE(w.lastColour(), Colour::Green);
        QVERIFY(w.allControlsEnabled());
        QCOMPARE(w.status, QStringLiteral("Loops: 1"));
        QVERIFY(f.unit.report().cumulative().imageComplete);
    }

    // The one success path at the operator's real time: 1,000 + 3,666 + 3,666 ms for Marlin.
    void marlinRebootWaitsAtRealTime()
    {
        TimeScale::set(1.0);
        EngineFixture f;
        f.writeFirmware(HexFile::join(HexFile::plain(2)));
        QVERIFY(f.runUpdate(30000));
        const double total = f.window.timeOf(QStringLiteral("Done!")) - f.window.timeOf(QStringLiteral("Upload complete, "));
        QVERIFY2(total >= 8.332, qPrintable(QString::number(total)));
        QVERIFY2(total < 9.5, qPrintable(QString::number(total)));
        QVERIFY2(f.window.log.contains(QStringLiteral("Upload complete, 1 seconds.")), qPrintable(f.window.log.join('|')));
    }

    void titleWithoutProductStillFinishes()
    {
        EngineFixture f;
        f.writeFirmware(HexFile::join(HexFile::plain(1)));
        QVERIFY(f.runUpdate());
        // Finishing itself for an unknown product only waits the fixed second; exercised directly.
        RecordingWindow window;
        Ethernet ethernet;
        SettingsStore store(QStringLiteral("Nobody"));
        Uploader uploader(window, ethernet, store, QStringLiteral("Nobody"));
        QVERIFY(!uploader.uploadSucceeded());
        uploader.finishUpload();
        QCOMPARE(window.log.last(), QStringLiteral("Disconnecting from "));
    }

    void loopRestartsAfterTwoSeconds()
    {
        EngineFixture f;
        f.writeFirmware(HexFile::join(HexFile::plain(3)));
        f.window.checked[UploadWindow::Mode::Loop] = true;
        QList<double> greens;
        QList<double> starts;
        connect(&f.uploader, &Uploader::updateFinished, &f.uploader, [&] { greens.append(MonotonicClock::seconds()); });
        connect(&f.uploader, &Uploader::updateStarted, &f.uploader, [&] { starts.append(MonotonicClock::seconds()); });
        f.uploader.loadStart();
        QVERIFY(waitUntil([&] { return f.started.size() >= 3; }, 20000));
        QVERIFY(greens.size() >= 2);
        for (int i = 0; i < 2; ++i)
            QVERIFY2(starts.at(i + 1) - greens.at(i) >= 2.0, qPrintable(QString::number(starts.at(i + 1) - greens.at(i))));
        f.window.checked[UploadWindow::Mode::Loop] = false;
        QTRY_VERIFY_WITH_TIMEOUT(f.uploader.phase() == Uploader::Phase::Idle && f.finished.size() >= 3, 20000);
        QVERIFY(f.uploader.loopCount() >= 3);
        QCOMPARE(f.window.status, QStringLiteral("Loops: ") + QString::number(f.uploader.loopCount()));
        QVERIFY(f.unit.report().connections.size() >= 3);
        for (const auto& connection : f.unit.report().connections)
            QVERIFY(connection.imageComplete);
    }

    // Load and Start pressed during the wait before a Loop restart: that update runs, the
    // restart does not start another on top of it.
    void loadStartDuringTheLoopWaitSkipsTheRestart()
    {
        EngineFixture f;
        f.writeFirmware(HexFile::join(HexFile::plain(3)));
        f.window.checked[UploadWindow::Mode::Loop] = true;
        connect(&f.uploader, &Uploader::updateFinished, &f.uploader, [&](bool ok) {
            if (ok && f.started.size() == 1) {
                f.window.checked[UploadWindow::Mode::Loop] = false;
                QTimer::singleShot(TimeScale::toRealMs(500), &f.uploader, [&] { f.uploader.loadStart(); });
            }
        });
        f.uploader.loadStart();
        QTRY_VERIFY_WITH_TIMEOUT(f.finished.size() >= 2 && f.uploader.phase() == Uploader::Phase::Idle, 20000);
        QTest::qWait(TimeScale::toRealMs(3000));
        QCOMPARE(f.started.size(), 2);
        QCOMPARE(f.unit.report().connections.size(), 2);
    }

    void scrollLogKeepsTheNewestLines()
    {
        RecordingWindow window;
        Ethernet ethernet;
        SettingsStore store(Marlin);
        Uploader uploader(window, ethernet, store, Marlin);
        for (int i = 0; i < 25002; ++i)
            window.log.append(QString::number(i)), window.logTimes.append(0);
        uploader.scrollLog();
        QCOMPARE(window.log.size(), 25000);
        QCOMPARE(window.log.first(), QStringLiteral("2"));
        QCOMPARE(window.selected, 24999);
        window.log.clear();
        window.logTimes.clear();
        window.selected = -1;
        uploader.scrollLog();
        QCOMPARE(window.selected, -1);
    }

    // ---- streaming ---------------------------------------------------------------------------

    void uploadsAFileWithSkippedRecords()
    {
        EngineFixture f;
        QList<QByteArray> lines;
        int noData = 0;
        for (int i = 0; i < 3000; ++i) {
            const auto address = quint16(i * 32);
            if (address == 0)
                lines.append(HexFile::extendedLinear(quint16(i * 32 >> 16)));
            switch (i % 50) {
            case 7:
                lines.append(HexFile::data(address, QByteArray(32, char(0xFF)))); // no data: not sent
                ++noData;
                break;
            case 8:
                lines.append(HexFile::data(address, QByteArray(16, char(0xFF)))); // only 16 bytes: sent
                break;
            case 9:
                // Lower-case digits are not the all-FF pattern: the line goes out.
                lines.append(HexFile::data(address, QByteArray(32, char(0xFF))).replace(9, 64, QByteArray(64, 'f')));
                break;
            default:
                lines.append(HexFile::data(address, QByteArray(32, char(i & 0x7F))));
            }
        }
        // Addresses FC00-FCFF of the first 64 KiB (eight records above) are boot code, and so is:
        lines.append(HexFile::data(0xFC10, QByteArray(16, 'B')));
        lines.append(HexFile::data(0xFC00, QByteArray(32, char(0xFF)))); // both rules: "No data"
        ++noData;
        lines.append(HexFile::endOfFile());
        const int bootCode = 8 + 1;
        f.writeFirmware(HexFile::join(lines));
        f.setDebug(true);
        QVERIFY2(f.runUpdate(60000), qPrintable(f.window.log.mid(f.window.log.size() - 8).join('|')));
        QVERIFY2(f.lastSucceeded(), qPrintable(f.window.log.mid(f.window.log.size() - 8).join('|')));

        const auto report = f.unit.report().cumulative();
        QVERIFY(report.imageComplete);
        QCOMPARE(report.image, expectedImage(lines));
        QCOMPARE(f.messagesOfKind(MessageKind::Record), lines.size() - noData - bootCode);
        const QStringList& log = f.window.log;
        QCOMPARE(log.filter(QRegularExpression(QStringLiteral("^Skip Record, Address [0-9A-F]{4}, No data$"))).size(), noData);
        QCOMPARE(log.filter(QRegularExpression(QStringLiteral("^Skip Record, Address FC[0-9A-F]{2}, Boot code$"))).size(), bootCode);
        QVERIFY(log.contains(QStringLiteral("Skip Record, Address FC10, Boot code")));
        QVERIFY(log.contains(QStringLiteral("Skip Record, Address FC00, No data")));
        QCOMPARE(f.window.progress, f.window.progressMax);
    }

    void lineEndingsAndBlankLines_data()
    {
        QTest::addColumn<QByteArray>("contents");
        const QList<QByteArray> lines = HexFile::plain(40);
        QTest::newRow("CR LF") << HexFile::join(lines, "\r\n");
        QTest::newRow("LF only") << HexFile::join(lines, "\n");
        QTest::newRow("CR only") << HexFile::join(lines, "\r");
        QTest::newRow("no terminator after the last line") << HexFile::join(lines, "\r\n").chopped(2);
        QList<QByteArray> blanks = lines;
        blanks.insert(10, QByteArray());
        blanks.insert(20, QByteArray("   "));
        QTest::newRow("blank lines inside and after") << HexFile::join(blanks, "\r\n") + "\r\n\r\n";
    }

    void lineEndingsAndBlankLines()
    {
        QFETCH(QByteArray, contents);
        EngineFixture f;
        f.writeFirmware(contents);
        QVERIFY(f.runUpdate());
        QVERIFY(f.lastSucceeded());
        QCOMPARE(f.unit.report().cumulative().image, expectedImage(HexFile::plain(40)));
        QCOMPARE(f.messagesOfKind(MessageKind::Record), 41);
        QVERIFY(QSettings(stored(Marlin)).contains(QStringLiteral("Settings/EthernetPort")));
    }

    // A file that runs out before its last line was known to be sent is no success.
    void nothingLeftToSend_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("only blank lines") << QByteArray("\r\n\r\n");
        QTest::newRow("only skipped records") << HexFile::join({HexFile::data(0xFC00, QByteArray(16, 'x'))});
        QTest::newRow("no end-of-file record") << HexFile::join(HexFile::plain(5).mid(0, 5));
    }

    void nothingLeftToSend()
    {
        QFETCH(QByteArray, contents);
        EngineFixture f;
        f.writeFirmware(contents);
        QVERIFY(f.runUpdate());
        QVERIFY(!f.lastSucceeded());
        QVERIFY2(find(f.window.log, QStringLiteral("^Upload stopped: .*(no record left|without an end-of-file record)")) >= 0,
                 qPrintable(f.window.log.join('|')));
        QCOMPARE(f.window.lastColour(), Colour::Red);
        QVERIFY(f.window.allControlsEnabled());
        QVERIFY(!f.uploader.isFirmwareFileOpen());
        QVERIFY(!QSettings(stored(Marlin)).contains(QStringLiteral("Settings/EthernetPort")));
    }

    void refusals_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("atMessage");
        QTest::addColumn<QString>("line");
        const QString checksum = QStringLiteral("NAK - Incorrect Checksum");
        const QString product = QStringLiteral("NAK - Incorrect Product Code");
        const QString type = QStringLiteral("NAK - Incorrect Record Type");
        QTest::newRow("checksum at the product code") << 1 << 0 << checksum;
        QTest::newRow("product code at the product code") << 2 << 0 << product;
        QTest::newRow("record type at the product code") << 3 << 0 << type;
        QTest::newRow("checksum at record 50") << 1 << 50 << checksum;
        QTest::newRow("product code at record 50") << 2 << 50 << product;
        QTest::newRow("record type at record 50") << 3 << 50 << type;
    }

    void refusals()
    {
        QFETCH(int, code);
        QFETCH(int, atMessage);
        QFETCH(QString, line);
        EngineFixture f;
        f.unit.addFault(fault(Fault::Kind::Refuse, atMessage, quint8(code)));
        f.writeFirmware(HexFile::join(HexFile::plain(100)));
        f.window.checked[UploadWindow::Mode::Loop] = true;
        QVERIFY(f.runUpdate());
        QVERIFY(!f.lastSucceeded());
        const QStringList& log = f.window.log;
        const qsizetype at = log.indexOf(line);
        QVERIFY(at > 0);
        QCOMPARE(log.mid(at), (QStringList{line, RefusalLine, QStringLiteral("Disconnecting from 127.0.0.1")}));
        QCOMPARE(f.window.lastColour(), Colour::Red);
        QVERIFY(!f.window.checked.value(UploadWindow::Mode::Loop));
        QVERIFY(f.window.allControlsEnabled());
        QVERIFY(!f.uploader.isFirmwareFileOpen());
        QTest::qWait(TimeScale::toRealMs(2500));
        QCOMPARE(f.unit.report().cumulative().messages.size(), atMessage + 1); // nothing after the refusal
        QCOMPARE(f.started.size(), 1);
        QVERIFY(!QSettings(stored(Marlin)).contains(QStringLiteral("Settings/EthernetAddress")));
    }

    void unknownReplyGivesTheControlsBack()
    {
        EngineFixture f;
        // Six bytes alone are too few to be looked at; two stray bytes in front make eight.
        f.unit.addFault(fault(Fault::Kind::UnknownReply, 5, 0, 1));
        Fault stray = fault(Fault::Kind::StrayBytes, 5, 0, 1);
        stray.bytes = QByteArray::fromHex("1234");
        f.unit.addFault(stray);
        f.writeFirmware(HexFile::join(HexFile::plain(20)));
        f.uploader.loadStart();
        QTRY_VERIFY(f.window.log.contains(QStringLiteral("Unknown")));
        QVERIFY(f.window.allControlsEnabled());
        QCOMPARE(f.uploader.phase(), Uploader::Phase::Stalled);
        QVERIFY(f.uploader.isFirmwareFileOpen());
        QVERIFY(f.uploader.streamHold()); // a late acknowledgement would not resume the stream
        // The next Load and Start closes what the stalled update left open and starts afresh.
        QVERIFY(f.runUpdate());
        QVERIFY(f.lastSucceeded());
        QCOMPARE(f.unit.report().connections.size(), 2);
        QVERIFY(f.unit.report().connections.at(1).imageComplete);
    }

    void awkwardReplies_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("split byte by byte") << int(Fault::Kind::SplitReply);
        QTest::newRow("stray bytes before a reply") << int(Fault::Kind::StrayBytes);
        QTest::newRow("two replies in one write") << int(Fault::Kind::DoubleReply);
    }

    void awkwardReplies()
    {
        QFETCH(int, kind);
        EngineFixture f;
        for (int message : {0, 1, 7, 19}) {
            Fault awkward = fault(Fault::Kind(kind), message);
            awkward.bytes = QByteArray::fromHex("1234");
            f.unit.addFault(awkward);
        }
        f.writeFirmware(HexFile::join(HexFile::plain(30)));
        f.setDebug(true);
        QVERIFY(f.runUpdate());
        QVERIFY(f.lastSucceeded());
        QCOMPARE(f.unit.report().cumulative().image, expectedImage(HexFile::plain(30)));
        if (Fault::Kind(kind) == Fault::Kind::StrayBytes)
            QVERIFY(f.window.log.count(QStringLiteral("Spurrious byte")) >= 8);
        if (Fault::Kind(kind) == Fault::Kind::SplitReply)
            QVERIFY(f.window.log.contains(QStringLiteral("Incomplete response from device")));
    }

    void slowPacesEachRecord_data()
    {
        QTest::addColumn<bool>("debug");
        QTest::newRow("debug") << true;
        QTest::newRow("no debug") << false;
    }

    void slowPacesEachRecord()
    {
        QFETCH(bool, debug);
        EngineFixture f;
        QList<double> arrivals;
        connect(&f.unit, &unitsim::SimulatedUnit::messageReceived, &f.unit,
                [&](MessageKind kind, const QByteArray&) {
                    if (kind == MessageKind::Record)
                        arrivals.append(MonotonicClock::seconds());
                });
        QList<double> acks;
        connect(&f.unit, &unitsim::SimulatedUnit::replySent, &f.unit, [&](const QByteArray&) { acks.append(MonotonicClock::seconds()); });
        f.writeFirmware(HexFile::join(HexFile::plain(10)));
        f.setDebug(debug);
        f.window.checked[UploadWindow::Mode::Slow] = true;
        QVERIFY(f.runUpdate());
        QVERIFY(f.lastSucceeded());
        QCOMPARE(arrivals.size(), 11);
        // Each record leaves at least 30 ms after the acknowledgement that let it be read.
        for (int i = 0; i < arrivals.size(); ++i)
            QVERIFY2(arrivals.at(i) - acks.at(i) >= 0.030, qPrintable(QString::number(arrivals.at(i) - acks.at(i))));
        QCOMPARE(f.window.log.count(QStringLiteral("Wait 30mS...")), debug ? 11 : 0);
    }

    void unitFallsSilentOrDrops_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("atMessage");
        QTest::addColumn<QString>("message");
        QTest::newRow("silent at the product code") << int(Fault::Kind::Silence) << 0 << "did not answer";
        QTest::newRow("silent at record 50") << int(Fault::Kind::Silence) << 50 << "did not answer";
        QTest::newRow("unrecognised header at record 50") << int(Fault::Kind::UnknownHeader) << 50 << "FD 55 AA 04 00 00 00 00) was not understood";
        QTest::newRow("drops at record 50") << int(Fault::Kind::Drop) << 50 << "connection to the unit was lost";
        QTest::newRow("resets at record 50") << int(Fault::Kind::Reset) << 50 << "connection to the unit was lost";
    }

    void unitFallsSilentOrDrops()
    {
        QFETCH(int, kind);
        QFETCH(int, atMessage);
        QFETCH(QString, message);
        EngineFixture f;
        f.unit.addFault(fault(Fault::Kind(kind), atMessage, 0, 1));
        f.writeFirmware(HexFile::join(HexFile::plain(100)));
        f.window.checked[UploadWindow::Mode::Loop] = true;
        QVERIFY(f.runUpdate());
        QVERIFY(!f.lastSucceeded());
        QVERIFY2(!f.window.log.filter(message).isEmpty(), qPrintable(f.window.log.join('|')));
        QCOMPARE(f.window.log.last(), QStringLiteral("Disconnecting from 127.0.0.1"));
        QVERIFY(f.window.allControlsEnabled());
        QVERIFY(!f.window.checked.value(UploadWindow::Mode::Loop));
        QVERIFY(!f.uploader.isFirmwareFileOpen());
        // The unit behaves on the next connection, and so does the next update.
        QVERIFY(f.runUpdate());
        QVERIFY(f.lastSucceeded());
    }

    void unitClosingAfterTheLastRecordIsNoFailure()
    {
        EngineFixture f;
        f.unit.addFault(fault(Fault::Kind::Drop, 11));
        f.writeFirmware(HexFile::join(HexFile::plain(10)));
        QVERIFY(f.runUpdate());
        QVERIFY(f.lastSucceeded());
        QCOMPARE(f.window.lastColour(), Colour::Green);
    }

    // The unit refuses the end-of-file record while the update settles: that is no success.
    void refusalOfTheLastRecordIsNoSuccess()
    {
        EngineFixture f;
        f.unit.addFault(fault(Fault::Kind::Refuse, 11, 0x01));
        f.writeFirmware(HexFile::join(HexFile::plain(10)));
        QVERIFY(f.runUpdate());
        QVERIFY(!f.lastSucceeded());
        QVERIFY(f.window.log.contains(QStringLiteral("NAK - Incorrect Checksum")));
        QCOMPARE(f.window.lastColour(), Colour::Red);
        QVERIFY(f.window.allControlsEnabled());
        QVERIFY(!QSettings(stored(Marlin)).contains(QStringLiteral("Settings/EthernetAddress")));
    }

    void completeUploadSavesAddressAndPort()
    {
        EngineFixture f;
        f.writeFirmware(HexFile::join(HexFile::plain(5)));
        QVERIFY(f.runUpdate());
        QVERIFY(f.lastSucceeded());
        QSettings settings(stored(Marlin));
        QCOMPARE(settings.value(QStringLiteral("Settings/EthernetAddress")).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(settings.value(QStringLiteral("Settings/EthernetPort")).toString(), QString::number(f.unit.port()));
    }
};

QTEST_GUILESS_MAIN(UploaderTest)
#include "tst_uploader.moc"
