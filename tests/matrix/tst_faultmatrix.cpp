// The fault matrix: the real operator window, offscreen, driven through its controls against the
// simulated unit or a real condition on 127.0.0.1, one row per thing that can go wrong with the
// unit, the network, the file or the operator's hands. Every row checks that the update ends, what
// the operator reads last and in which colour, the engine's verdict, that the window is usable
// again, that nothing reaches the unit after a refusal, that the controls stay disabled while the
// unit is being written, and that the address and port are saved only after a complete upload.
#include "HexFile.h"
#include "UiTestSupport.h"
#include "WaitUntil.h"

#include "unitsim/Fault.h"
#include "unitsim/FlashImage.h"
#include "unitsim/SimulatedUnit.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

#include <functional>

using namespace UiTest;

namespace {

const QString DebugTitle = QStringLiteral("Marlin-ARC Firmware Uploader Debug");
const QString Localhost = QStringLiteral("127.0.0.1");
// Port texts that stand for a port found at run time.
const QString UnitPort = QStringLiteral("<unit>");
const QString ClosedPort = QStringLiteral("<closed>");

// Records in the ordinary test file; record 500 is well inside it, record 601 is its end-of-file.
constexpr int Records = 600;

enum class Firmware
{
    CrLf, // `Records` data records and the end-of-file record, CR LF lines
    LfOnly,
    CrOnly,
    BlankLines,  // CR LF, with empty and blank lines inside and after
    NoEndOfFile, // CR LF, the end-of-file record missing
    BadChecksum, // CR LF, record 300's checksum wrong
    Empty,
    Removed,   // chosen, then deleted before Load and Start
    Directory, // a directory named like a firmware file: it cannot be read
    Huge,      // about 30 MB
};

// What the operator does besides the first Load and Start.
enum class Operator
{
    Waits,
    PressesDuringLoopWait, // Loop checked; Load and Start again while the restart is pending
    TogglesDebug,          // Tools > Debug on at record 200, off again at record 400
    RetriesAfterStall,     // Load and Start again once the stalled update gave the window back
    RetriesAfterFailure,   // Load and Start again once the update has failed
    HasUnwritableSettings, // the settings directory cannot be created
};

enum class Colour
{
    White,
    Green,
    Red
};

struct Scenario
{
    QString title = DebugTitle;
    QString address = Localhost;
    QString port = UnitPort;
    Firmware firmware = Firmware::CrLf;
    QStringList faults = {}; // unitsim's text form, e.g. "refuse:02@0"
    Operator action = Operator::Waits;
    bool loop = false;  // Tools > Loop checked before Load and Start: a failure must not restart
    bool debug = false; // Tools > Debug checked before Load and Start
    double timeScale = 0.02;
    bool connects = true; // whether a connection to the unit is made at all
    bool succeeds = false;
    Colour colour = Colour::Red;
    // The last lines of the log, in order; '*' stands for any text.
    QStringList lastLines = {};
};

const QStringList Done{u"Upload complete."_s,
                       u"Upload complete, * seconds."_s,
                       u"Writing firmware, DO NOT REMOVE POWER!"_s,
                       u"Waiting for unit to reboot...."_s,
                       u" "_s,
                       u" "_s,
                       u"Done!  Unit is ready to use."_s,
                       u" "_s};

QStringList refused(const QString& reply)
{
    return {reply, u"Device responded with an error.  Please try again."_s,
            u"Disconnecting from 127.0.0.1"_s};
}

QStringList badInput(const QString& address, const QString& complaint)
{
    return {u"Connecting to "_s + address, complaint, u"Could not establish connection to "_s + address,
            u"Disconnecting from "_s + address};
}

// The reply to the product code gets a minute (the unit may be erasing its flash), each record's 15 s.
QStringList silent(int seconds)
{
    return {QStringLiteral("The unit did not answer for %1 seconds.").arg(seconds),
            u"Check the unit and its connection, then try again."_s, u"Disconnecting from 127.0.0.1"_s};
}

bool matches(const QString& pattern, const QString& line)
{
    QStringList parts = pattern.split(u'*');
    for (QString& part : parts)
        part = QRegularExpression::escape(part);
    return QRegularExpression(QRegularExpression::anchoredPattern(parts.join(u".*"_s)))
        .match(line)
        .hasMatch();
}

QColor rgb(Colour colour)
{
    switch (colour) {
    case Colour::White:
        return {255, 255, 255};
    case Colour::Green:
        return {0, 255, 0};
    case Colour::Red:
        return {255, 0, 0};
    }
    return {};
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}

// About 30 MB of 32-byte data records from 0x10000 on. Like an application image it leaves out
// the boot-code addresses (xxFC00-xxFCFF), which the tool never sends, so the unit must end up
// holding exactly the file's data.
QByteArray hugeFirmware()
{
    QByteArray text;
    text.reserve(31 * 1024 * 1024);
    for (quint16 upper = 1; text.size() < 30 * 1000 * 1000; ++upper) {
        text += HexFile::extendedLinear(upper) + "\r\n";
        for (quint32 low = 0; low < 0x10000; low += 32) {
            if ((low & 0xFF00) == 0xFC00)
                continue;
            QByteArray bytes(32, '\0');
            for (int b = 0; b < 32; ++b)
                bytes[b] = char((upper * 3 + low / 32 * 7 + b * 13) & 0xFF);
            text += HexFile::data(quint16(low), bytes) + "\r\n";
        }
    }
    return text + HexFile::endOfFile() + "\r\n";
}

// Fills a box as the operator does: select what is there, then type over it.
void type(QLineEdit* edit, const QString& text)
{
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

bool isRefusal(const QByteArray& reply)
{
    const qsizetype sync = reply.indexOf(char(0xFD));
    const QByteArray header = sync < 0 ? QByteArray() : reply.mid(sync, 4);
    return header.size() == 4 && header.startsWith("\xFD\x55\xAA") && header[3] >= 1 && header[3] <= 3;
}

qsizetype messageCount(const unitsim::UnitReport& report)
{
    qsizetype n = 0;
    for (const unitsim::ConnectionReport& connection : report.connections)
        n += connection.messages.size();
    return n;
}

} // namespace

Q_DECLARE_METATYPE(Scenario)

class TestFaultMatrix : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void update_data();
    void update();

private:
    QString prepareFirmware(Firmware firmware, unitsim::FlashImage* expected);

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_files;
    QString m_hugeFile;
    std::function<bool()> m_changeAfterChoice; // the file changes between its choice and Load and Start
    unitsim::FlashImage m_hugeImage;
};

void TestFaultMatrix::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    QVERIFY(m_files.isValid());
    isolateSettings(m_settingsDir.path());
}

void TestFaultMatrix::init()
{
    QVERIFY(QDir(m_settingsDir.path()).removeRecursively());
    QVERIFY(QDir().mkpath(m_settingsDir.path()));
}

void TestFaultMatrix::cleanup()
{
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
}

void TestFaultMatrix::update_data()
{
    QTest::addColumn<Scenario>("scenario");
    const QString complaint =
        QStringLiteral("Invalid port \"%1\": the port must be a whole number from 1 to 65535.");

    // ---- the network and the operator's input
    QTest::newRow("refused connection")
        << Scenario{.port = ClosedPort,
                    .connects = false,
                    .lastLines = {u"Ethernet Error 10061"_s, u"*"_s,
                                  u"Hint: Found device but port was not availaible. Verify port number."_s,
                                  u"Unit not responding!"_s, u"Could not establish connection to 127.0.0.1"_s,
                                  u"Disconnecting from 127.0.0.1"_s}};
    // At a quarter of real time, so the name lookup fails within the connection wait as it
    // does for an operator.
    QTest::newRow("unresolvable host")
        << Scenario{.address = u"no-such-unit.invalid"_s,
                    .timeScale = 0.25,
                    .connects = false,
                    .lastLines = {u"Ethernet Error 11001"_s, u"*"_s, u"Unit not responding!"_s,
                                  u"Could not establish connection to no-such-unit.invalid"_s,
                                  u"Disconnecting from no-such-unit.invalid"_s}};
    for (const QString& port : {u"abc"_s, u"0"_s, u"70000"_s, u"-1"_s, u""_s}) {
        QTest::addRow("port \"%s\"", qPrintable(port)) << Scenario{
            .port = port, .connects = false, .lastLines = badInput(Localhost, complaint.arg(port))};
    }
    QTest::newRow("address empty") << Scenario{
        .address = u""_s,
        .connects = false,
        .lastLines =
            badInput(u""_s, u"No unit address given: type the unit's IP address into the Address box."_s)};
    QTest::newRow("title of no product") << Scenario{
        .title = u"Firmware Uploader"_s,
        .connects = false,
        .lastLines = badInput(Localhost, u"This build (\"Firmware Uploader\") is for no known product, "_s
                                         u"so there is no product code to send."_s)};

    // ---- the firmware file
    // The file is checked before any connection: nothing reaches the unit.
    const QString nothingSent = QStringLiteral("Nothing was sent to the unit.");
    QTest::newRow("file removed before Load and Start")
        << Scenario{.firmware = Firmware::Removed,
                    .connects = false,
                    .lastLines = {u"Cannot open the firmware file */removed.hex: No such file or directory"_s,
                                  nothingSent}};
    QTest::newRow("file cannot be read")
        << Scenario{.firmware = Firmware::Directory,
                    .connects = false,
                    .lastLines = {u"Cannot open the firmware file */x.hex: *directory*"_s, nothingSent}};
    QTest::newRow("empty file") << Scenario{
        .firmware = Firmware::Empty,
        .connects = false,
        .lastLines = {
            u"The firmware file */firmware.hex cannot be sent: the file ends without an end-of-file record "_s
            u"(:00000001FF)"_s,
            nothingSent}};
    QTest::newRow("no end-of-file record") << Scenario{
        .firmware = Firmware::NoEndOfFile,
        .connects = false,
        .lastLines = {
            u"The firmware file */firmware.hex cannot be sent: the file ends without an end-of-file record "_s
            u"(:00000001FF)"_s,
            nothingSent}};
    QTest::newRow("bad checksum at record 300") << Scenario{
        .firmware = Firmware::BadChecksum,
        .connects = false,
        .lastLines = {
            u"The firmware file */firmware.hex cannot be sent: line 300: checksum is 00, but the record's "_s
            u"bytes need *"_s,
            nothingSent}};
    QTest::newRow("CR LF lines") << Scenario{.succeeds = true, .colour = Colour::Green, .lastLines = Done};
    QTest::newRow("LF-only lines") << Scenario{
        .firmware = Firmware::LfOnly, .succeeds = true, .colour = Colour::Green, .lastLines = Done};
    QTest::newRow("CR-only lines") << Scenario{
        .firmware = Firmware::CrOnly, .succeeds = true, .colour = Colour::Green, .lastLines = Done};
    QTest::newRow("blank lines inside and after") << Scenario{
        .firmware = Firmware::BlankLines, .succeeds = true, .colour = Colour::Green, .lastLines = Done};
    QTest::newRow("30 MB file") << Scenario{
        .firmware = Firmware::Huge, .succeeds = true, .colour = Colour::Green, .lastLines = Done};

    // ---- the unit's replies
    const QString nak[] = {u""_s, u"NAK - Incorrect Checksum"_s, u"NAK - Incorrect Product Code"_s,
                           u"NAK - Incorrect Record Type"_s};
    for (int code = 1; code <= 3; ++code) {
        for (int at : {0, 500}) {
            QTest::addRow("refusal 0%d at %s", code, at == 0 ? "the product code" : "record 500")
                << Scenario{.faults = {u"refuse:0%1@%2"_s.arg(code).arg(at)},
                            .loop = true,
                            .lastLines = refused(nak[code])};
        }
    }
    // Six bytes alone are too few to be looked at; two stray bytes in front make eight.
    QTest::newRow("unknown reply, then Load and Start again") << Scenario{
        .faults = {u"unknown-reply@500#1"_s, u"stray:1234@500#1"_s},
        .action = Operator::RetriesAfterStall,
        .lastLines = {u"Unknown"_s, u"The unit gave an unexpected reply; the update has stopped."_s,
                      u"Press Load and Start to try again."_s}};
    QTest::newRow("FD 55 AA 04 reply") << Scenario{
        .faults = {u"unknown-header@500"_s},
        .loop = true,
        .lastLines = {u"The unit's reply (FD 55 AA 04 00 00 00 00) was not understood, and no other came "_s
                      u"for 15 seconds."_s,
                      u"Check the unit and its connection, then try again."_s,
                      u"Disconnecting from 127.0.0.1"_s}};
    QTest::newRow("stray bytes") << Scenario{
        .faults = {u"stray:AA55@0"_s, u"stray:0102@1"_s, u"stray:1234@250"_s, u"stray:55@601"_s},
        .succeeds = true,
        .colour = Colour::Green,
        .lastLines = Done};
    QTest::newRow("replies split byte by byte") << Scenario{
        .faults = {u"split:1@0"_s, u"split:1@1"_s, u"split:1@300"_s, u"split:1@600"_s, u"split:1@601"_s},
        .succeeds = true,
        .colour = Colour::Green,
        .lastLines = Done};
    QTest::newRow("two replies in one write") << Scenario{.faults = {u"double@0"_s, u"double@300"_s},
                                                          .succeeds = true,
                                                          .colour = Colour::Green,
                                                          .lastLines = Done};
    // A peer that streams far more than replies, from record 500 on (first connection only).
    const QStringList flooded{
        u"The unit at 127.0.0.1 sent more than 4,096 bytes that are not replies; the update has stopped."_s,
        u"Check the address and port: this may be no unit, or a unit that is not working."_s,
        u"Disconnecting from 127.0.0.1"_s};
    for (const QString& kind : {u"flood-header"_s, u"flood-stray"_s}) {
        for (bool debug : {false, true}) {
            QTest::addRow("%s, Debug %s", qPrintable(kind), debug ? "on" : "off")
                << Scenario{.faults = {kind + u":0@500#1"_s},
                            .action = Operator::RetriesAfterFailure,
                            .loop = true,
                            .debug = debug,
                            .lastLines = flooded};
        }
    }
    QTest::newRow("silence at the product code")
        << Scenario{.faults = {u"silence@0"_s}, .loop = true, .lastLines = silent(60)};
    QTest::newRow("silence at record 500")
        << Scenario{.faults = {u"silence@500"_s}, .loop = true, .lastLines = silent(15)};
    QTest::newRow("connection dropped at record 500")
        << Scenario{.faults = {u"drop@500"_s},
                    .loop = true,
                    .lastLines = {u"The connection to the unit was lost before the upload was complete."_s,
                                  u"Disconnecting from 127.0.0.1"_s}};
    // Qt reads a reset as the end of the stream, so the window cannot tell it from a close.
    QTest::newRow("connection reset at record 500")
        << Scenario{.faults = {u"reset@500"_s},
                    .loop = true,
                    .lastLines = {u"The connection to the unit was lost before the upload was complete."_s,
                                  u"Disconnecting from 127.0.0.1"_s}};
    // A refused record is no complete update, the last one included. At real time: the refusal
    // must come within the settle wait after the end-of-file record, as a unit's does.
    QTest::newRow("refusal of the end-of-file record")
        << Scenario{.faults = {u"refuse:01@601"_s},
                    .loop = true,
                    .timeScale = 1.0,
                    .lastLines = {u"Upload complete."_s, u"NAK - Incorrect Checksum"_s,
                                  u"Device responded with an error.  Please try again."_s,
                                  u"Disconnecting from 127.0.0.1"_s}};
    QTest::newRow("replies ending in CR LF") << Scenario{
        .faults = {u"suffix:0D0A@0"_s}, .succeeds = true, .colour = Colour::Green, .lastLines = Done};
    QTest::newRow("unit closes right after the last record")
        << Scenario{.faults = {u"drop@601"_s}, .succeeds = true, .colour = Colour::Green, .lastLines = Done};

    // ---- the operator during an update, and the settings
    QTest::newRow("Load and Start during the Loop wait")
        << Scenario{.action = Operator::PressesDuringLoopWait,
                    .succeeds = true,
                    .colour = Colour::Green,
                    .lastLines = Done};
    QTest::newRow("Tools > Debug toggled mid-upload") << Scenario{
        .action = Operator::TogglesDebug, .succeeds = true, .colour = Colour::Green, .lastLines = Done};
    QTest::newRow("settings directory not writable") << Scenario{
        .action = Operator::HasUnwritableSettings,
        .succeeds = true,
        .colour = Colour::Green,
        .lastLines = QStringList(Done) << u"Could not save the address and port: cannot write *"_s};
}

QString TestFaultMatrix::prepareFirmware(Firmware firmware, unitsim::FlashImage* expected)
{
    const QDir dir(m_files.path());
    QList<QByteArray> lines = HexFile::plain(Records);
    *expected = unitsim::FlashImage::fromIntelHex(HexFile::join(lines, "\n"));
    QByteArray contents = HexFile::join(lines, "\r\n");
    switch (firmware) {
    case Firmware::CrLf:
    case Firmware::Removed:
        break;
    case Firmware::LfOnly:
        contents = HexFile::join(lines, "\n");
        break;
    case Firmware::CrOnly:
        contents = HexFile::join(lines, "\r");
        break;
    case Firmware::BlankLines:
        lines.insert(100, QByteArray());
        lines.insert(300, QByteArray(" \t "));
        contents = HexFile::join(lines, "\r\n") + "\r\n  \r\n\r\n";
        break;
    case Firmware::NoEndOfFile:
        contents = HexFile::join(lines.mid(0, Records), "\r\n");
        break;
    case Firmware::BadChecksum:
        lines[299].replace(lines[299].size() - 2, 2, "00");
        contents = HexFile::join(lines, "\r\n");
        break;
    case Firmware::Empty:
        contents.clear();
        break;
    case Firmware::Directory:
        break;
    case Firmware::Huge:
        if (m_hugeFile.isEmpty()) {
            const QByteArray text = hugeFirmware();
            QString error;
            m_hugeImage = unitsim::FlashImage::fromIntelHex(text, &error);
            if (!error.isEmpty() || !writeFile(dir.filePath(u"huge.hex"_s), text))
                return {};
            m_hugeFile = dir.filePath(u"huge.hex"_s);
        }
        *expected = m_hugeImage;
        return m_hugeFile;
    }
    // The window checks a file when it is chosen; these change after that, so the update's own
    // check before connecting is what finds them.
    const QString name = firmware == Firmware::Removed     ? u"removed.hex"_s
                         : firmware == Firmware::Directory ? u"x.hex"_s
                                                           : u"firmware.hex"_s;
    const QString path = dir.filePath(name);
    m_changeAfterChoice = nullptr;
    if (firmware == Firmware::Removed) {
        m_changeAfterChoice = [path] { return QFile::remove(path); };
    } else if (firmware == Firmware::Directory) {
        m_changeAfterChoice = [path, dir, name] { return QFile::remove(path) && dir.mkpath(name); };
    } else if (firmware == Firmware::Empty || firmware == Firmware::NoEndOfFile ||
               firmware == Firmware::BadChecksum) {
        m_changeAfterChoice = [path, contents] { return writeFile(path, contents); };
        contents = HexFile::join(HexFile::plain(Records), "\r\n");
    }
    return writeFile(path, contents) ? path : QString();
}

void TestFaultMatrix::update()
{
    QFETCH(Scenario, scenario);
    const QString settingsFile =
        QDir(m_settingsDir.path()).filePath(QStringLiteral("FirmwareUploader/%1.ini").arg(scenario.title));
    if (scenario.action == Operator::HasUnwritableSettings) {
        // Below a regular file no directory can be made, whoever runs the test.
        const QString blocker = QDir(m_settingsDir.path()).filePath(u"blocker"_s);
        QVERIFY(writeFile(blocker, "not a directory"));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, blocker + u"/settings"_s);
    }

    unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
    QVERIFY(unit.listen(QHostAddress::LocalHost, 0));
    for (const QString& text : std::as_const(scenario.faults)) {
        QString error;
        const std::optional<unitsim::Fault> fault = unitsim::Fault::parse(text, &error);
        QVERIFY2(fault, qPrintable(text + u": "_s + error));
        unit.addFault(*fault);
    }
    unitsim::FlashImage expectedImage;
    const QString firmware = prepareFirmware(scenario.firmware, &expectedImage);
    QVERIFY(!firmware.isEmpty());

    MainWindow window(scenario.title, u"1.0.61"_s, UiTest::product(scenario.title));

    window.setTimeScale(scenario.timeScale);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    UpdateController& updates = window.updates();
    QSignalSpy started(&updates, &UpdateController::updateStarted);
    QSignalSpy finished(&updates, &UpdateController::updateFinished);
    auto* loadStart = control<QPushButton>(window, "LoadStart");
    const QList<QWidget*> controls{loadStart, control<QWidget>(window, "FirmwareFile"),
                                   control<QWidget>(window, "EthernetAddress"),
                                   control<QWidget>(window, "EthernetPort")};
    const auto controlsEnabled = [&] {
        return std::all_of(controls.begin(), controls.end(), [](QWidget* w) { return w->isEnabled(); });
    };

    // While the unit is being written the operator cannot start another update on top.
    QList<int> receivedWhileEnabled;
    int recordsReceived = 0;
    connect(&unit, &unitsim::SimulatedUnit::messageReceived, &window, [&](unitsim::MessageKind kind) {
        if (loadStart->isEnabled())
            receivedWhileEnabled << recordsReceived;
        if (kind != unitsim::MessageKind::Record)
            return;
        ++recordsReceived;
        if (scenario.action == Operator::TogglesDebug && (recordsReceived == 200 || recordsReceived == 400))
            QTimer::singleShot(0, &window, [&] { action(window, "mnuDebug")->trigger(); });
    });

    QString port = scenario.port;
    if (port == UnitPort)
        port = QString::number(unit.port());
    else if (port == ClosedPort)
        port = QString::number(closedPort());
    type(control<QLineEdit>(window, "EthernetAddress"), scenario.address);
    type(control<QLineEdit>(window, "EthernetPort"), port);
    window.setFileChooser([firmware] { return firmware; });
    QTest::mouseClick(control<QLabel>(window, "FirmwareFile"), Qt::LeftButton);
    // A large file is checked in slices; the label names it once the check is done.
    QVERIFY(waitUntil(
        [&] { return control<QLabel>(window, "FirmwareFile")->text() == QFileInfo(firmware).fileName(); },
        60000));
    QVERIFY(loadStart->isEnabled());
    if (m_changeAfterChoice)
        QVERIFY(m_changeAfterChoice());

    if (scenario.loop)
        action(window, "mnuLoop")->trigger();
    if (scenario.debug)
        action(window, "mnuDebug")->trigger();
    int runs = 1;
    if (scenario.action == Operator::PressesDuringLoopWait) {
        runs = 2;
        action(window, "mnuLoop")->trigger();
        QVERIFY(action(window, "mnuLoop")->isChecked());
        // Half a second into the wait before the restart: press Load and Start, then stop looping.
        connect(&updates, &UpdateController::updateFinished, &window, [&](bool succeeded) {
            if (!succeeded || finished.size() != 1)
                return;
            QTimer::singleShot(int(500 * scenario.timeScale), &window, [&] {
                QTest::mouseClick(loadStart, Qt::LeftButton);
                action(window, "mnuLoop")->trigger();
            });
        });
    }

    const int timeoutMs = scenario.firmware == Firmware::Huge ? 600000 : 30000;
    const auto ended = [&] {
        return controlsEnabled() &&
               ((!updates.isUpdateRunning() && !updates.isStalled() && finished.size() >= runs) ||
                updates.isStalled());
    };
    const auto checkLastLines = [&](const QStringList& expectedLines) {
        const QStringList lines = logLines(window);
        const QStringList tail = lines.mid(lines.size() - expectedLines.size());
        bool same = tail.size() == expectedLines.size();
        for (qsizetype i = 0; same && i < tail.size(); ++i)
            same = matches(expectedLines.at(i), tail.at(i));
        return same ? QString()
                    : u"log ends:\n  "_s + lines.mid(lines.size() - expectedLines.size() - 3).join(u"\n  "_s);
    };

    QTest::mouseClick(loadStart, Qt::LeftButton);
    QVERIFY2(waitUntil(ended, timeoutMs),
             qPrintable(u"no end; log ends: "_s +
                        logLines(window).mid(logLines(window).size() - 5).join(u" | "_s)));

    const QString tailError = checkLastLines(scenario.lastLines);
    QVERIFY2(tailError.isEmpty(), qPrintable(tailError));
    QCOMPARE(logBackground(window), rgb(scenario.colour));
    QCOMPARE(updates.lastSucceeded(), scenario.succeeds);
    QCOMPARE(started.size(), runs);
    QVERIFY(controlsEnabled());
    QCOMPARE(QFileInfo::exists(settingsFile),
             scenario.succeeds && scenario.action != Operator::HasUnwritableSettings);

    const bool retries =
        scenario.action == Operator::RetriesAfterStall || scenario.action == Operator::RetriesAfterFailure;
    if (retries) {
        QCOMPARE(updates.isStalled(), scenario.action == Operator::RetriesAfterStall);
        QTest::mouseClick(loadStart, Qt::LeftButton);
        QVERIFY(waitUntil(
            [&] {
                return finished.size() == runs + (scenario.action == Operator::RetriesAfterFailure ? 1 : 0) &&
                       !updates.isUpdateRunning() && controlsEnabled();
            },
            timeoutMs));
        // With Debug the unit's last acknowledgement shows between "Upload complete." and the rest.
        const QString retryError = checkLastLines(scenario.debug ? Done.mid(1) : Done);
        QVERIFY2(retryError.isEmpty(), qPrintable(retryError));
        QCOMPARE(logBackground(window), rgb(Colour::Green));
        QVERIFY(updates.lastSucceeded());
        QVERIFY(QFileInfo::exists(settingsFile));
        QCOMPARE(unit.report().connections.size(), 2);
    }

    // Long enough for a Loop restart, or anything else still on its way, to reach the unit.
    const QList<unitsim::ConnectionReport>& connections = unit.report().connections;
    const qsizetype connectionsAtEnd = connections.size();
    const qsizetype messagesAtEnd = messageCount(unit.report());
    QTest::qWait(int((UpdateController::LoopRestartWait.count() + 500) * scenario.timeScale));
    QCOMPARE(connections.size(), connectionsAtEnd);
    QCOMPARE(messageCount(unit.report()), messagesAtEnd);
    QCOMPARE(started.size(), retries ? 2 : runs);

    QVERIFY2(
        receivedWhileEnabled.isEmpty(),
        qPrintable(QStringLiteral("the unit received messages with Load and Start enabled, from record %1 on")
                       .arg(receivedWhileEnabled.value(0))));
    // Nothing reaches the unit after a refusal, on that connection or a later one.
    for (qsizetype c = 0; c < connections.size(); ++c) {
        const QList<unitsim::ReceivedMessage>& received = connections.at(c).messages;
        for (qsizetype i = 0; i < received.size(); ++i) {
            if (isRefusal(received.at(i).reply))
                QVERIFY(c == connections.size() - 1 && i == received.size() - 1);
        }
    }
    if (!scenario.connects)
        QVERIFY(connections.isEmpty());
    if (scenario.loop)
        QVERIFY(!action(window, "mnuLoop")->isChecked());
    if (updates.lastSucceeded()) {
        // The unit got everything up to the end-of-file record (which it may not answer: it can
        // close the connection and reboot at once), and holds exactly the file's data.
        const unitsim::ConnectionReport& last = connections.last();
        QCOMPARE(last.messages.last().bytes, HexFile::endOfFile());
        QVERIFY(last.image == expectedImage);
    }
    if (QFileInfo::exists(settingsFile)) {
        const QSettings ini(settingsFile, QSettings::IniFormat);
        QCOMPARE(ini.value("Settings/EthernetAddress").toString(), scenario.address);
        QCOMPARE(ini.value("Settings/EthernetPort").toString(), port);
    }

    if (scenario.action == Operator::TogglesDebug) {
        // Records go into the log exactly while Debug is checked: one contiguous run in the middle.
        const QList<QByteArray> lines = HexFile::plain(Records);
        QList<int> logged;
        for (const QString& line : logLines(window)) {
            if (line.startsWith(u"To Unit :"_s))
                logged << int(lines.indexOf(line.mid(8).toLatin1())) + 1;
        }
        QVERIFY(!logged.isEmpty());
        QVERIFY2(logged.first() > 200 && logged.first() <= 203, qPrintable(QString::number(logged.first())));
        QVERIFY2(logged.last() >= 400 && logged.last() <= 403, qPrintable(QString::number(logged.last())));
        QCOMPARE(logged.size(), logged.last() - logged.first() + 1);
        QCOMPARE(logLines(window).filter(QRegularExpression(u"^Writing [0-9A-F]{4}$"_s)).size(),
                 logged.size());
        QVERIFY(!action(window, "mnuDebug")->isChecked());
    }
    if (scenario.action == Operator::PressesDuringLoopWait) {
        QCOMPARE(connections.size(), 2);
        QVERIFY(connections.at(0).imageComplete && connections.at(1).imageComplete);
        QVERIFY(!action(window, "mnuLoop")->isChecked());
    }
}

QTEST_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
