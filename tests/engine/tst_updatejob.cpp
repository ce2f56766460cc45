// The update job on its own: a simulated unit (or a raw peer) on 127.0.0.1, the job's signals
// recorded in order.
#include "ClosedPort.h"
#include "JobFixture.h"

#include "platform/Ethernet.h"
#include "unitsim/Fault.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

using unitsim::Fault;
using unitsim::MessageKind;
using unitsim::Model;
using Phase = UpdateJob::Phase;

namespace {

const QString RefusalAdvice = QStringLiteral("Device responded with an error.  Please try again.");
const QByteArray Ack = QByteArray::fromHex("fd55aa0000000000");

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

class UpdateJobTest : public QObject
{
    Q_OBJECT

private slots:
    // ---- connecting and identifying ----------------------------------------------------------

    void startLog_data()
    {
        QTest::addColumn<bool>("debug");
        QTest::newRow("Debug") << true;
        QTest::newRow("no Debug") << false;
    }

    void startLog()
    {
        QFETCH(bool, debug);
        JobFixture f;
        f.unit.addFault(fault(Fault::Kind::Silence, 0));
        f.writeFirmware(HexFile::join(HexFile::plain(3)));
        f.debug = debug;
        f.start();
        QVERIFY(
            waitUntil([&] { return f.recorder.log.contains(QStringLiteral("Sending firmware...")); }, 5000));
        const QStringList& log = f.recorder.log;
        if (!debug) {
            QCOMPARE(log, (QStringList{u"Connecting to 127.0.0.1"_s, u"Sending firmware..."_s}));
            QCOMPARE(f.job->phase(), Phase::Streaming);
            return;
        }
        QCOMPARE(log.mid(0, 2), (QStringList{u"Connecting to 127.0.0.1"_s, u"Connecting..."_s}));
        const qsizetype took =
            log.indexOf(QRegularExpression(QStringLiteral("^It took [0-9,]+ mS to connect\\.$")));
        QVERIFY2(took > 2, qPrintable(log.join(u'|')));
        // The poll in which the connection is seen still logs its line.
        for (qsizetype i = 2; i < took; ++i)
            QVERIFY(QRegularExpression(QStringLiteral("^Checking connection at [0-9,]+ mS\\.\\.\\.$"))
                        .match(log.at(i))
                        .hasMatch());
        QCOMPARE(log.mid(took + 1),
                 (QStringList{u"Programming Marlin/ARC"_s, u"To Unit  FE 55 AA 01 00 36 CC"_s,
                              u"Sending firmware..."_s}));
        QCOMPARE(f.recorder.debugLines.count(true), int(log.size()) - 2);
    }

    void openingFrames_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<Model>("model");
        QTest::addColumn<QByteArray>("productFrame");
        QTest::newRow("Tessera") << "Tessera" << Model::Tessera << QByteArray::fromHex("fe55aa01012dd4");
        QTest::newRow("Caldera 16") << "Caldera 16" << Model::Caldera16
                                    << QByteArray::fromHex("fe55aa01022dd3");
        QTest::newRow("Vireo Grand") << "Vireo Grand" << Model::VireoGrand
                                     << QByteArray::fromHex("fe55aa010131d0");
        QTest::newRow("Marlin") << "Marlin" << Model::Marlin << QByteArray::fromHex("fe55aa010036cc");
        QTest::newRow("Quill") << "Quill" << Model::Quill << QByteArray::fromHex("fe55aa010037cb");
        QTest::newRow("Osprey") << "Osprey" << Model::Osprey << QByteArray::fromHex("fe55aa010038c9");
    }

    // Each product is named by its own frame; only Caldera 16 first shows its display texts.
    void openingFrames()
    {
        QFETCH(QString, product);
        QFETCH(Model, model);
        QFETCH(QByteArray, productFrame);
        JobFixture f(model, product);
        f.unit.addFault(fault(Fault::Kind::Silence, 0));
        f.writeFirmware(HexFile::join(HexFile::plain(1)));
        f.start();
        QVERIFY(waitUntil([&] { return f.messagesOfKind(MessageKind::ProductCode) == 1; }, 5000));
        const auto messages = f.unit.report().cumulative().messages;
        QCOMPARE(messages.last().bytes, productFrame);
        if (product == QLatin1String("Caldera 16")) {
            QCOMPARE(messages.size(), 4);
            QCOMPARE(messages.at(0).bytes, QByteArray::fromHex("f0152d0200f7"));
            QCOMPARE(messages.at(1).bytes, QByteArray::fromHex("f0152d010014") + "Updating firmware..." +
                                               QByteArray::fromHex("f7"));
            QCOMPARE(messages.at(2).bytes, QByteArray::fromHex("f0152d014019") + "Do not press any buttons!" +
                                               QByteArray::fromHex("f7"));
        } else {
            QCOMPARE(messages.size(), 1);
        }
    }

    void nobodyListening()
    {
        JobFixture f;
        f.unit.stopListening();
        f.debug = true;
        f.writeFirmware(HexFile::join(HexFile::plain(3)));
        QVERIFY(f.run());
        const QStringList& log = f.recorder.log;
        const qsizetype gaveUp = log.indexOf(QStringLiteral("Unit not responding!"));
        QVERIFY2(gaveUp > 0, qPrintable(log.join(u'|')));
        QVERIFY(QRegularExpression(QStringLiteral("^After [0-9,]+ mS, I gave up!$"))
                    .match(log.at(gaveUp + 1))
                    .hasMatch());
        QCOMPARE(log.mid(gaveUp + 2), (QStringList{u"Could not establish connection to 127.0.0.1"_s,
                                                   u"Disconnecting from 127.0.0.1"_s}));
        QCOMPARE(f.outcome(), UpdateOutcome::NoConnection);
        QCOMPARE(f.recorder.result().reason, QStringLiteral("Connection refused"));
        QVERIFY(!f.recorder.result().reachedUnit);
        QVERIFY(f.recorder.signalOrder.contains(QStringLiteral("socketError")));
        // The refused connection is still polled until the limit, on the program's clock.
        QVERIFY(f.recorder.timeOf(QStringLiteral("Unit not responding!")) > 3.3);
    }

    // The poll goes on without Debug; switching Debug on shows it from the next poll on.
    void debugSwitchedOnDuringTheConnectionWait()
    {
        JobFixture f;
        f.scale = 0.1;
        f.writeFirmware(HexFile::join(HexFile::plain(3)));
        UpdateRequest request = f.request();
        request.port = closedPort();
        UpdateJob& job = f.start(request);
        QTimer::singleShot(100, &job, [&job] { job.setDebug(true); }); // 1,000 ms of program time
        QVERIFY(waitUntil([&] { return f.recorder.ended(); }, 5000));
        const QStringList& log = f.recorder.log;
        QCOMPARE(log.first(), QStringLiteral("Connecting to 127.0.0.1"));
        const QStringList polls = log.filter(QStringLiteral("Checking connection at "));
        QVERIFY2(polls.size() >= 15, qPrintable(log.join(u'|')));
        const int firstMs = polls.first().mid(23).remove(u',').section(u' ', 0, 0).toInt();
        QVERIFY2(firstMs >= 1000 && firstMs < 1400, qPrintable(polls.first()));
        QCOMPARE(log.at(1), polls.first()); // no poll line before the switch
        QVERIFY(log.contains(QStringLiteral("Unit not responding!")));
    }

    // What each front end reads from its own input it checks in its own words (the window's are in
    // the fault matrix); a request that still names no unit or no product goes nowhere.
    void badInput_data()
    {
        QTest::addColumn<bool>("product");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("no port") << true << "127.0.0.1" << 0 << "No port given.";
        QTest::newRow("address empty") << true << "" << 23 << "No unit address given.";
        QTest::newRow("no product") << false << "127.0.0.1" << 23
                                    << "No product given, so there is no product code to send.";
    }

    // Bad input never reaches the socket, and the job ends before start() returns.
    void badInput()
    {
        QFETCH(bool, product);
        QFETCH(QString, address);
        QFETCH(int, port);
        QFETCH(QString, complaint);
        JobFixture f;
        f.writeFirmware(HexFile::join(HexFile::plain(1)));
        UpdateRequest request = f.request();
        request.host = address;
        request.port = quint16(port);
        if (!product)
            request.product = nullptr;
        f.start(request);
        QVERIFY(f.recorder.ended());
        QCOMPARE(f.recorder.log, (QStringList{u"Connecting to "_s + address, complaint,
                                              u"Could not establish connection to "_s + address,
                                              u"Disconnecting from "_s + address}));
        // The front ends may name the unit their own way as they let go of it.
        using Line = UpdateJob::Line;
        QCOMPARE(f.recorder.lineKinds, (QList<Line>{Line::Plain, Line::Plain, Line::Plain, Line::Disconnecting}));
        QCOMPARE(f.outcome(), UpdateOutcome::BadInput);
        QCOMPARE(f.recorder.result().reason, complaint);
        QTest::qWait(20);
        QCOMPARE(f.unit.report().connections.size(), 0);
    }

    // The file is checked before anything else: one that cannot be read, or is no complete HEX
    // file, never reaches the unit, and the log names the file, the line and what is wrong.
    void unusableFileNeverReachesTheUnit_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<UpdateOutcome>("outcome");
        const QList<QByteArray> lines = HexFile::plain(5);
        const auto joined = [&](int at, const QByteArray& line) {
            QList<QByteArray> copy = lines;
            copy[at] = line;
            return HexFile::join(copy);
        };
        QByteArray badChecksum = lines.at(2);
        badChecksum.chop(2);
        QTest::newRow("missing") << QByteArray("<missing>") << "No such file or directory"
                                 << UpdateOutcome::FileError;
        QTest::newRow("bad checksum")
            << joined(2, badChecksum + "00") << "line 3: checksum is 00" << UpdateOutcome::MalformedFile;
        QTest::newRow("not hex") << joined(1, QByteArray(lines.at(1)).replace(12, 1, "G"))
                                 << "line 2, column 13" << UpdateOutcome::MalformedFile;
        QTest::newRow("count against length") << joined(3, QByteArray(lines.at(3)).replace(1, 2, "11"))
                                              << "line 4: " << UpdateOutcome::MalformedFile;
        QTest::newRow("unknown type") << joined(0, HexFile::record(0x06, 0, {})) << "line 1: record type 06"
                                      << UpdateOutcome::MalformedFile;
        QTest::newRow("wrong length for its type") << joined(0, HexFile::record(0x04, 0, QByteArray(3, '\1')))
                                                   << "line 1: " << UpdateOutcome::MalformedFile;
        QTest::newRow("missing colon")
            << joined(4, lines.at(4).mid(1)) << "line 5: " << UpdateOutcome::MalformedFile;
        QTest::newRow("no end-of-file record")
            << HexFile::join(lines.mid(0, 5)) << "end-of-file record" << UpdateOutcome::MalformedFile;
        QTest::newRow("empty") << QByteArray() << "end-of-file record" << UpdateOutcome::MalformedFile;
        QTest::newRow("a record after the end-of-file record")
            << HexFile::join(lines) + HexFile::join(lines.mid(0, 1))
            << "line 7: " << UpdateOutcome::MalformedFile;
    }

    void unusableFileNeverReachesTheUnit()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, problem);
        QFETCH(UpdateOutcome, outcome);
        JobFixture f;
        if (contents == "<missing>")
            f.firmwarePath = f.dir.filePath(QStringLiteral("gone.hex"));
        else
            f.writeFirmware(contents);
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), outcome);
        const QStringList& log = f.recorder.log;
        QCOMPARE(log.size(), 2);
        const QString start = outcome == UpdateOutcome::FileError
                                  ? QStringLiteral("Cannot open the firmware file ")
                                  : QStringLiteral("The firmware file ");
        QVERIFY2(log.first().startsWith(start + f.firmwarePath), qPrintable(log.first()));
        QVERIFY2(log.first().contains(problem), qPrintable(log.first()));
        QCOMPARE(log.last(), QStringLiteral("Nothing was sent to the unit."));
        QCOMPARE(f.recorder.result().reason, log.first());
        QVERIFY(!f.recorder.result().reachedUnit);
        QVERIFY(!f.recorder.phases.contains(Phase::Connecting));
        QTest::qWait(20);
        QCOMPARE(f.unit.report().connections.size(), 0);
    }

    // What follows the end-of-file record and is no record (a DOS end-of-file mark) is never sent.
    void nothingAfterTheEndOfFileRecordIsSent()
    {
        JobFixture f;
        const QList<QByteArray> lines = HexFile::plain(10);
        f.writeFirmware(HexFile::join(lines) + "\x1a\r\nnotes from the build\r\n");
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
        const auto messages = f.unit.report().cumulative().messages;
        QCOMPARE(messages.size(), 1 + lines.size());
        QCOMPARE(messages.last().bytes, HexFile::endOfFile());
    }

    // A big file is checked in slices, between events, before the connection.
    void largeFileIsCheckedInSlices()
    {
        JobFixture f;
        f.writeFirmware(HexFile::join(HexFile::plain(30000))); // about 1.3 MB
        UpdateJob& job = f.start();
        QCOMPARE(job.phase(), Phase::Checking);
        QVERIFY(waitUntil([&] { return f.recorder.ended(); }, 60000));
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
        QCOMPARE(f.recorder.phases.first(), Phase::Checking);
    }

    // ---- finishing ---------------------------------------------------------------------------

    void successWaitsForEachProduct_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<Model>("model");
        QTest::addColumn<int>("writeWait");
        QTest::addColumn<int>("rebootWait");
        QTest::newRow("Tessera") << "Tessera" << Model::Tessera << 2333 << 3333;
        QTest::newRow("Caldera 16") << "Caldera 16" << Model::Caldera16 << 2333 << 3333;
        QTest::newRow("Vireo Grand") << "Vireo Grand" << Model::VireoGrand << 2333 << 3333;
        QTest::newRow("Marlin") << "Marlin" << Model::Marlin << 3666 << 3666;
        QTest::newRow("Quill") << "Quill" << Model::Quill << 1500 << 1500;
        QTest::newRow("Osprey") << "Osprey" << Model::Osprey << 1500 << 1500;
    }

    void successWaitsForEachProduct()
    {
        QFETCH(QString, product);
        QFETCH(Model, model);
        QFETCH(int, writeWait);
        QFETCH(int, rebootWait);
        JobFixture f(model, product);
        const QList<QByteArray> lines = HexFile::plain(4);
        f.writeFirmware(HexFile::join(lines));
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
        const JobRecorder& r = f.recorder;
        const double complete = r.timeOf(QStringLiteral("Upload complete, "));
        const double writing = r.timeOf(QStringLiteral("Writing firmware, DO NOT REMOVE POWER!"));
        const double rebooting = r.timeOf(QStringLiteral("Waiting for unit to reboot...."));
        const double done = r.timeOf(QStringLiteral("Done!"));
        QVERIFY(complete > 0 && writing > complete && rebooting > writing && done > rebooting);
        QVERIFY(writing - complete >= 1.0);
        QVERIFY(rebooting - writing >= writeWait / 1000.0);
        QVERIFY(done - rebooting >= rebootWait / 1000.0);
        QCOMPARE(
            r.log.mid(r.log.size() - 9),
            (QStringList{u"Sending firmware..."_s, u"Upload complete."_s, r.log.at(r.log.size() - 7),
                         u"Writing firmware, DO NOT REMOVE POWER!"_s, u"Waiting for unit to reboot...."_s,
                         u" "_s, u" "_s, u"Done!  Unit is ready to use."_s, u" "_s}));
        QCOMPARE(r.phases, (QList<Phase>{Phase::Checking, Phase::Connecting, Phase::Streaming,
                                         Phase::Settling, Phase::Writing, Phase::Rebooting, Phase::Done}));
        QCOMPARE(r.records, qint64(lines.size()));
        QCOMPARE(r.result().recordsSent, qint64(lines.size()));
        QCOMPARE(r.lastBytes, r.fileSize);
        QVERIFY(r.result().elapsed.count() >= 1000 + writeWait + rebootWait);
        QVERIFY(f.unit.report().cumulative().imageComplete);
    }

    // The one success at the operator's real time: 1,000 + 3,666 + 3,666 ms for Marlin.
    void marlinAtRealTime()
    {
        JobFixture f;
        f.scale = 1.0;
        f.writeFirmware(HexFile::join(HexFile::plain(2)));
        QVERIFY(f.run(30000));
        const double total = f.recorder.timeOf(QStringLiteral("Done!")) -
                             f.recorder.timeOf(QStringLiteral("Upload complete, "));
        QVERIFY2(total >= 8.332 && total < 9.5, qPrintable(QString::number(total)));
        QVERIFY2(f.recorder.log.contains(QStringLiteral("Upload complete, 1 seconds.")),
                 qPrintable(f.recorder.log.join(u'|')));
    }

    // ---- streaming ---------------------------------------------------------------------------

    void uploadsAFileWithSkippedRecords()
    {
        JobFixture f;
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
                lines.append(
                    HexFile::data(address, QByteArray(32, char(0xFF))).replace(9, 64, QByteArray(64, 'f')));
                break;
            default:
                lines.append(HexFile::data(address, QByteArray(32, char(i & 0x7F))));
            }
        }
        // Addresses FC00-FCFF of each 64 KiB (eight records above) are boot code, and so is:
        lines.append(HexFile::data(0xFC10, QByteArray(16, 'B')));
        lines.append(HexFile::data(0xFC00, QByteArray(32, char(0xFF)))); // both rules: "No data"
        ++noData;
        lines.append(HexFile::endOfFile());
        const int bootCode = 8 + 1;
        f.writeFirmware(HexFile::join(lines));
        f.debug = true;
        QVERIFY(f.run(60000));
        QVERIFY2(f.outcome() == UpdateOutcome::Succeeded, qPrintable(f.recorder.tail()));

        const auto report = f.unit.report().cumulative();
        QVERIFY(report.imageComplete);
        QVERIFY(report.image == JobFixture::expectedImage(lines));
        QCOMPARE(f.messagesOfKind(MessageKind::Record), lines.size() - noData - bootCode);
        QCOMPARE(f.recorder.result().recordsSent, qint64(lines.size() - noData - bootCode));
        const QStringList& log = f.recorder.log;
        QCOMPARE(log.filter(QRegularExpression(QStringLiteral("^Skip Record, Address [0-9A-F]{4}, No data$")))
                     .size(),
                 noData);
        QCOMPARE(
            log.filter(QRegularExpression(QStringLiteral("^Skip Record, Address FC[0-9A-F]{2}, Boot code$")))
                .size(),
            bootCode);
        QVERIFY(log.contains(QStringLiteral("Skip Record, Address FC10, Boot code")));
        QVERIFY(log.contains(QStringLiteral("Skip Record, Address FC00, No data")));
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
        JobFixture f;
        f.writeFirmware(contents);
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
        QVERIFY(f.unit.report().cumulative().image == JobFixture::expectedImage(HexFile::plain(40)));
        QCOMPARE(f.messagesOfKind(MessageKind::Record), 41);
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
        JobFixture f;
        f.unit.addFault(fault(Fault::Kind::Refuse, atMessage, quint8(code)));
        f.writeFirmware(HexFile::join(HexFile::plain(100)));
        QVERIFY(f.run());
        const QStringList& log = f.recorder.log;
        QCOMPARE(log.mid(log.indexOf(line)),
                 (QStringList{line, RefusalAdvice, u"Disconnecting from 127.0.0.1"_s}));
        const UpdateResult result = f.recorder.result();
        QCOMPARE(result.outcome, UpdateOutcome::Refused);
        QCOMPARE(int(result.refusalCode), code);
        QCOMPARE(result.reason, line);
        QVERIFY(result.reachedUnit);
        QCOMPARE(result.recordsSent, qint64(atMessage));
        QTest::qWait(100);
        QCOMPARE(f.unit.report().cumulative().messages.size(), atMessage + 1); // nothing after the refusal
    }

    // The unknown reply stops the stream; held until abort(), the connection stays, and an
    // acknowledgement that comes afterwards sends nothing. abort() then ends it as what it was.
    void unknownReplyStallsUntilAborted()
    {
        RawPeer peer;
        peer.answer = [](int message, const QByteArray&) {
            // Six bytes alone are too few to be looked at; two stray bytes in front make eight.
            return message < 5 ? Ack : QByteArray::fromHex("1234fd55aaff0000");
        };
        JobFixture f;
        f.writeFirmware(HexFile::join(HexFile::plain(20)));
        UpdateRequest request = f.request();
        request.port = peer.port();
        request.stalledHold = std::nullopt;
        UpdateJob& job = f.start(request);
        QVERIFY(waitUntil([&] { return job.phase() == Phase::Stalled; }, 5000));
        QCOMPARE(
            f.recorder.log.mid(f.recorder.log.size() - 2),
            (QStringList{u"Unknown"_s, u"The unit gave an unexpected reply; the update has stopped."_s}));
        QCOMPARE(peer.received.size(), 6);
        peer.socket->write(Ack);
        QTest::qWait(100);
        QCOMPARE(peer.received.size(), 6);
        QVERIFY(job.socketStatus().isConnected());
        QVERIFY(!f.recorder.ended());

        job.abort();
        QCOMPARE(f.outcome(), UpdateOutcome::UnknownReply);
        QCOMPARE(f.recorder.signalOrder.last(), QStringLiteral("finished"));
        QVERIFY(waitUntil([&] { return peer.socket->state() == QAbstractSocket::UnconnectedState; }, 5000));
    }

    // A request says how long a stalled update holds its connection: no time at all for callers
    // nobody attends, a while, or (above) until abort(). Either way it ends as the unknown reply,
    // with the connection closed, and nobody has to remember to end it.
    void stalledHoldEndsTheUpdate_data()
    {
        QTest::addColumn<int>("holdMs");
        QTest::newRow("at once") << 0;
        QTest::newRow("after 2 s") << 2000;
    }

    void stalledHoldEndsTheUpdate()
    {
        QFETCH(int, holdMs);
        JobFixture f;
        // Six bytes alone are too few to be looked at; two stray bytes in front make eight.
        f.unit.addFault(*unitsim::Fault::parse(u"unknown-reply@3"_s));
        f.unit.addFault(*unitsim::Fault::parse(u"stray:1234@3"_s));
        f.writeFirmware(HexFile::join(HexFile::plain(20)));
        UpdateRequest request = f.request();
        request.stalledHold = std::chrono::milliseconds(holdMs);
        UpdateJob& job = f.start(request);
        QVERIFY(waitUntil([&] { return job.phase() == Phase::Stalled || f.recorder.ended(); }, 5000));
        QVERIFY(f.recorder.phases.contains(Phase::Stalled));
        const double stalledAt = f.recorder.timeOf(u"The unit gave an unexpected reply"_s);
        QVERIFY(waitUntil([&] { return f.recorder.ended(); }, 5000));
        QCOMPARE(f.outcome(), UpdateOutcome::UnknownReply);
        QCOMPARE(f.recorder.result().reason, u"The unit gave an unexpected reply; the update has stopped."_s);
        QVERIFY(f.recorder.now() - stalledAt >= holdMs / 1000.0 - 0.05);
        QVERIFY(f.recorder.states.last().isClosed());
        QVERIFY(waitUntil([&] { return !f.unit.report().connections.last().open; }, 5000));
    }

    // Replies 00, 01, 02, 03 and FF in one arrival are handled in that order: the acknowledgement
    // sends the next record, the checksum refusal ends the update, the rest change nothing.
    void oneArrivalHoldsEveryReply()
    {
        RawPeer peer;
        peer.answer = [](int message, const QByteArray&) {
            if (message == 0)
                return Ack;
            if (message == 1)
                return Ack +
                       QByteArray::fromHex("fd55aa0100000000fd55aa0200000000fd55aa0300000000fd55aaff0000");
            return QByteArray();
        };
        JobFixture f;
        const QList<QByteArray> lines = HexFile::plain(20);
        f.writeFirmware(HexFile::join(lines));
        f.debug = true;
        UpdateRequest request = f.request();
        request.port = peer.port();
        QVERIFY(f.run(request));
        const QStringList& log = f.recorder.log;
        const qsizetype from = log.lastIndexOf(QRegularExpression(QStringLiteral("From Unit .*")));
        QVERIFY2(from > 0, qPrintable(log.join(u'|')));
        QCOMPARE(log.mid(from + 1),
                 (QStringList{u"ACK from unit"_s, u"To Unit "_s + QString::fromLatin1(lines.at(1)),
                              u"Writing 0010"_s, u"NAK - Incorrect Checksum"_s, RefusalAdvice,
                              u"NAK - Incorrect Product Code"_s, u"NAK - Incorrect Record Type"_s,
                              u"Unknown"_s, u"Disconnecting from 127.0.0.1"_s}));
        QCOMPARE(f.outcome(), UpdateOutcome::Refused);
        QCOMPARE(int(f.recorder.result().refusalCode), 1);
        QCOMPARE(peer.received.size(), 3); // the product code and two records
    }

    // What the peer says before the product code went out is drained, never taken for its reply.
    void bytesBeforeTheProductCodeAreDrained()
    {
        RawPeer peer;
        peer.greeting = QByteArray::fromHex("fd55aa0200000000") + Ack;
        peer.answer = [](int, const QByteArray&) { return Ack; };
        JobFixture f;
        f.scale = 1.0; // the Debug poll gives the greeting 100 ms to arrive before the drain
        f.debug = true;
        f.writeFirmware(HexFile::join(HexFile::plain(5)));
        UpdateRequest request = f.request();
        request.port = peer.port();
        UpdateJob& job = f.start(request);
        QVERIFY(waitUntil([&] { return job.phase() == Phase::Settling && peer.received.size() == 7; }, 5000));
        job.abort();
        QVERIFY(!f.recorder.log.contains(QStringLiteral("NAK - Incorrect Product Code")));
        QCOMPARE(f.recorder.log.filter(QStringLiteral("From Unit ")).first(),
                 QStringLiteral("From Unit  FD 55 AA 00 00 00 00 00"));
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
        JobFixture f;
        for (int message : {0, 1, 7, 19}) {
            Fault awkward = fault(Fault::Kind(kind), message);
            awkward.bytes = QByteArray::fromHex("1234");
            f.unit.addFault(awkward);
        }
        f.writeFirmware(HexFile::join(HexFile::plain(30)));
        f.debug = true;
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
        QVERIFY(f.unit.report().cumulative().image == JobFixture::expectedImage(HexFile::plain(30)));
        if (Fault::Kind(kind) == Fault::Kind::StrayBytes)
            QCOMPARE(f.recorder.log.count(QStringLiteral("Spurrious byte")), 8);
        if (Fault::Kind(kind) == Fault::Kind::SplitReply)
            QVERIFY(f.recorder.log.contains(QStringLiteral("Incomplete response from device")));
    }

    void slowPacesEachRecord_data()
    {
        QTest::addColumn<bool>("debug");
        QTest::newRow("Debug") << true;
        QTest::newRow("no Debug") << false;
    }

    void slowPacesEachRecord()
    {
        QFETCH(bool, debug);
        JobFixture f;
        f.scale = 1.0;
        QElapsedTimer clock;
        clock.start();
        QList<qint64> arrivals;
        connect(&f.unit, &unitsim::SimulatedUnit::messageReceived, &f.unit,
                [&](MessageKind kind, const QByteArray&) {
                    if (kind == MessageKind::Record)
                        arrivals.append(clock.nsecsElapsed());
                });
        QList<qint64> acks;
        connect(&f.unit, &unitsim::SimulatedUnit::replySent, &f.unit,
                [&](const QByteArray&) { acks.append(clock.nsecsElapsed()); });
        f.writeFirmware(HexFile::join(HexFile::plain(10)));
        f.debug = debug;
        f.slow = true;
        UpdateJob& job = f.start();
        QVERIFY(waitUntil([&] { return job.phase() == Phase::Settling && arrivals.size() == 11; }, 10000));
        job.abort();
        // Each record leaves at least 30 ms after the acknowledgement that let it be read.
        for (int i = 0; i < arrivals.size(); ++i)
            QVERIFY2(arrivals.at(i) - acks.at(i) >= 30'000'000,
                     qPrintable(QString::number(arrivals.at(i) - acks.at(i))));
        QCOMPARE(f.recorder.log.count(QStringLiteral("Wait 30mS...")), debug ? 11 : 0);
    }

    void unitFallsSilentOrDrops_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("atMessage");
        QTest::addColumn<QString>("line");
        QTest::addColumn<UpdateOutcome>("outcome");
        // The product code gets a minute: the unit may be erasing its flash.
        QTest::newRow("silent at the product code")
            << int(Fault::Kind::Silence) << 0 << "The unit did not answer for 60 seconds."
            << UpdateOutcome::NoReply;
        QTest::newRow("silent at record 50")
            << int(Fault::Kind::Silence) << 50 << "The unit did not answer for 15 seconds."
            << UpdateOutcome::NoReply;
        QTest::newRow("unrecognised header at record 50")
            << int(Fault::Kind::UnknownHeader) << 50
            << "The unit's reply (FD 55 AA 04 00 00 00 00) was not understood, and no other came for 15 "
               "seconds."
            << UpdateOutcome::NoReply;
        QTest::newRow("drops at record 50")
            << int(Fault::Kind::Drop) << 50
            << "The connection to the unit was lost before the upload was complete."
            << UpdateOutcome::ConnectionLost;
        QTest::newRow("resets at record 50")
            << int(Fault::Kind::Reset) << 50
            << "The connection to the unit was lost before the upload was complete."
            << UpdateOutcome::ConnectionLost;
    }

    void unitFallsSilentOrDrops()
    {
        QFETCH(int, kind);
        QFETCH(int, atMessage);
        QFETCH(QString, line);
        QFETCH(UpdateOutcome, outcome);
        JobFixture f;
        f.unit.addFault(fault(Fault::Kind(kind), atMessage, 0, 1));
        f.writeFirmware(HexFile::join(HexFile::plain(100)));
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), outcome);
        const QStringList& log = f.recorder.log;
        QVERIFY2(log.contains(line), qPrintable(log.join(u'|')));
        QCOMPARE(log.last(), QStringLiteral("Disconnecting from 127.0.0.1"));
        // The unit behaves on its next connection, and so does the next update.
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
    }

    void replyTimeoutsAreSetPerJob()
    {
        JobFixture f;
        f.unit.addFault(fault(Fault::Kind::Silence, 3));
        f.writeFirmware(HexFile::join(HexFile::plain(10)));
        f.scale = 1.0;
        UpdateRequest request = f.request();
        request.timings.recordReplyTimeout = std::chrono::milliseconds(250);
        QVERIFY(f.run(request, 5000));
        QCOMPARE(f.outcome(), UpdateOutcome::NoReply);
        QVERIFY(f.recorder.log.contains(QStringLiteral("The unit did not answer for 0.25 seconds.")));
    }

    void unitClosingAfterTheLastRecordIsNoFailure()
    {
        JobFixture f;
        f.unit.addFault(fault(Fault::Kind::Drop, 11));
        f.writeFirmware(HexFile::join(HexFile::plain(10)));
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
    }

    // The unit refuses the end-of-file record while the update settles: that is no success.
    void refusalOfTheLastRecordIsNoSuccess()
    {
        JobFixture f;
        f.unit.addFault(fault(Fault::Kind::Refuse, 11, 0x01));
        f.writeFirmware(HexFile::join(HexFile::plain(10)));
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), UpdateOutcome::Refused);
        QCOMPARE(
            f.recorder.log.mid(f.recorder.log.size() - 3),
            (QStringList{u"NAK - Incorrect Checksum"_s, RefusalAdvice, u"Disconnecting from 127.0.0.1"_s}));
    }

    // ---- a peer that sends too much ----------------------------------------------------------

    void floodEndsTheUpdateAtOnce_data()
    {
        QTest::addColumn<QString>("faultText");
        QTest::addColumn<bool>("debug");
        for (const char* kind : {"flood-header:0@3#1", "flood-stray:0@3#1"}) {
            for (bool debug : {false, true})
                QTest::addRow("%s, Debug %s", kind, debug ? "on" : "off")
                    << QString::fromLatin1(kind) << debug;
        }
    }

    // A peer streaming bytes that are no replies: the update ends by itself within a second, with
    // a bounded log, and the next update against a unit that behaves completes.
    void floodEndsTheUpdateAtOnce()
    {
        QFETCH(QString, faultText);
        QFETCH(bool, debug);
        JobFixture f;
        f.scale = 1.0;
        f.debug = debug;
        f.unit.addFault(*Fault::parse(faultText));
        f.writeFirmware(HexFile::join(HexFile::plain(20)));
        double floodStarts = -1;
        UpdateJob& job = f.start();
        connect(&job, &UpdateJob::progress, &job, [&](qint64, qint64, qint64 records) {
            if (records == 3)
                floodStarts = f.recorder.now(); // the unit floods instead of answering record 3
        });
        QVERIFY(waitUntil([&] { return f.recorder.ended(); }, 20000));
        QCOMPARE(f.outcome(), UpdateOutcome::TooMuchData);
        const QStringList& log = f.recorder.log;
        QCOMPARE(
            log.mid(log.size() - 3),
            (QStringList{
                u"The unit at 127.0.0.1 sent more than 4,096 bytes that are not replies; the update has stopped."_s,
                u"Check the address and port: this may be no unit, or a unit that is not working."_s,
                u"Disconnecting from 127.0.0.1"_s}));
        QVERIFY2(f.recorder.timeOf(QStringLiteral("Disconnecting from")) - floodStarts < 1.0,
                 qPrintable(
                     QString::number(f.recorder.timeOf(QStringLiteral("Disconnecting from")) - floodStarts)));
        QVERIFY(log.size() < 200);
        for (const QString& line : log)
            QVERIFY2(line.size() < 300, qPrintable(line.left(80)));
        QVERIFY(!f.unit.report().connections.at(0).open);

        f.debug = false;
        f.scale = 0.02;
        QVERIFY(f.run());
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
    }

    // A unit that ends every reply with CR LF completes a file of any length: the stray bytes count
    // from the last reply, not over the whole update. The unit's image equals the file's records.
    void unitEndingRepliesWithCrLfCompletes_data()
    {
        QTest::addColumn<bool>("debug");
        QTest::newRow("Debug off") << false;
        QTest::newRow("Debug on") << true;
    }

    void unitEndingRepliesWithCrLfCompletes()
    {
        QFETCH(bool, debug);
        JobFixture f;
        f.debug = debug;
        f.unit.addFault(*Fault::parse(u"suffix:0D0A@0"_s));
        const QList<QByteArray> lines = HexFile::plain(4000);
        f.writeFirmware(HexFile::join(lines));
        QVERIFY(f.run(60000));
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
        QVERIFY(f.recorder.result().recordsSent > 4000);
        QVERIFY(f.unit.report().cumulative().image == JobFixture::expectedImage(lines));
    }

    // The unknown reply is always told, also when a refusal in the same arrival has begun ending
    // the update; the refusal decides the outcome, and nothing more is sent.
    void unknownAfterARefusalIsStillTold()
    {
        RawPeer peer;
        peer.answer = [](int message, const QByteArray&) {
            return message < 2 ? Ack : QByteArray::fromHex("fd55aa0200000000fd55aaff0000");
        };
        JobFixture f;
        f.writeFirmware(HexFile::join(HexFile::plain(20)));
        UpdateRequest request = f.request();
        request.port = peer.port();
        QVERIFY(f.run(request));
        const QStringList& log = f.recorder.log;
        QCOMPARE(log.mid(log.size() - 4),
                 (QStringList{u"NAK - Incorrect Product Code"_s,
                              u"Device responded with an error.  Please try again."_s, u"Unknown"_s,
                              u"Disconnecting from 127.0.0.1"_s}));
        QVERIFY(!f.recorder.debugLines.contains(true));
        QCOMPARE(f.outcome(), UpdateOutcome::Refused);
        QCOMPARE(peer.received.size(), 3);
    }

    // A build that rewrites the firmware file while it is being sent: the records already sent are
    // a mix of two files, and the end-of-file record, which would make the unit write them, never
    // goes out. The check's SHA-256 is the one of the file as it was chosen.
    void fileRewrittenWhileSentNeverGetsItsEnd()
    {
        JobFixture f;
        f.scale = 1.0;
        f.unit.setLatencyMs(1);
        const QByteArray first = HexFile::join(HexFile::plain(3000));
        QList<QByteArray> otherLines = HexFile::plain(3000);
        otherLines[2500] = HexFile::data(0x9C40, QByteArray(16, 'z')); // past what was read so far
        const QByteArray other = HexFile::join(otherLines);
        f.writeFirmware(first);
        UpdateJob& job = f.start();
        bool rewritten = false;
        connect(&job, &UpdateJob::progress, &job, [&](qint64, qint64, qint64 records) {
            if (records == 200 && !rewritten) {
                rewritten = true;
                QFile file(f.firmwarePath); // in place, as cp does
                QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
                file.write(other);
            }
        });
        QVERIFY(waitUntil([&] { return f.recorder.ended(); }, 60000));
        QVERIFY(rewritten);
        QCOMPARE(f.outcome(), UpdateOutcome::FileChanged);
        QCOMPARE(f.recorder.result().sha256,
                 QString::fromLatin1(QCryptographicHash::hash(first, QCryptographicHash::Sha256).toHex()));
        QVERIFY2(f.recorder.result().reason.contains(u"changed during the update"_s),
                 qPrintable(f.recorder.result().reason));
        QCOMPARE(f.recorder.log.last(), u"Disconnecting from 127.0.0.1"_s);
        const auto report = f.unit.report().cumulative();
        QVERIFY(!report.imageComplete);
        for (const auto& message : report.messages)
            QVERIFY(!RecordRules::isEndOfFileRecord(message.bytes));
    }

    // What a real unit sends reads as it always has: each stray byte of the first 16 of an
    // arrival on a line of its own, and the received bytes in full up to 64.
    void smallAmountsLogAsBefore()
    {
        RawPeer peer;
        peer.answer = [](int message, const QByteArray&) {
            static const int strays[] = {16, 17, 56, 57};
            return message < 4 ? QByteArray(strays[message], char(0x11)) + Ack : Ack;
        };
        JobFixture f;
        f.debug = true;
        f.writeFirmware(HexFile::join(HexFile::plain(6)));
        UpdateRequest request = f.request();
        request.port = peer.port();
        QVERIFY(f.run(request));
        QCOMPARE(f.outcome(), UpdateOutcome::Succeeded);
        const QStringList& log = f.recorder.log;
        const QStringList dumps = log.filter(QRegularExpression(QStringLiteral("^From Unit ")));
        QCOMPARE(dumps.at(0), QStringLiteral("From Unit ") + QString(u" 11"_s).repeated(16) +
                                  u" FD 55 AA 00 00 00 00 00"_s);
        QCOMPARE(dumps.at(2), QStringLiteral("From Unit ") + QString(u" 11"_s).repeated(56) +
                                  u" FD 55 AA 00 00 00 00 00"_s);
        QCOMPARE(dumps.at(3), QStringLiteral("From Unit ") + QString(u" 11"_s).repeated(57) +
                                  u" FD 55 AA 00 00 00 00"_s + QStringLiteral(" ... and 1 more bytes"));
        // 16 lines for the first arrival; 16 and a count for the second.
        const qsizetype first = log.indexOf(dumps.at(0));
        QCOMPARE(log.mid(first + 1, 17), QStringList(16, QStringLiteral("Spurrious byte"))
                                             << QStringLiteral("ACK from unit"));
        const qsizetype second = log.indexOf(dumps.at(1));
        QCOMPARE(log.mid(second + 1, 18), QStringList(16, QStringLiteral("Spurrious byte"))
                                              << QStringLiteral("Spurrious byte, 1 more")
                                              << QStringLiteral("ACK from unit"));
        QCOMPARE(log.count(QStringLiteral("Spurrious byte")), 16 * 4);
    }

    // ---- the contract ------------------------------------------------------------------------

    // Two updates in one thread at once: each keeps to its own unit and ends its own way.
    void twoJobsSideBySide()
    {
        unitsim::SimulatedUnit refusing(Model::Marlin);
        unitsim::SimulatedUnit good(Model::Marlin);
        QVERIFY(refusing.listen() && good.listen());
        refusing.addFault(fault(Fault::Kind::Refuse, 5, 0x01));
        refusing.setLatencyMs(1);
        good.setLatencyMs(1);
        JobFixture f;
        const QList<QByteArray> lines = HexFile::plain(300);
        f.writeFirmware(HexFile::join(lines));

        UpdateRequest request = f.request();
        request.port = refusing.port();
        UpdateJob first(request);
        request.port = good.port();
        UpdateJob second(request);
        JobRecorder firstRecorder, secondRecorder;
        firstRecorder.attach(first);
        secondRecorder.attach(second);
        first.start();
        second.start();
        QVERIFY(waitUntil([&] { return firstRecorder.ended() && secondRecorder.ended(); }, 30000));

        QCOMPARE(firstRecorder.result().outcome, UpdateOutcome::Refused);
        QCOMPARE(int(firstRecorder.result().refusalCode), 1);
        QCOMPARE(refusing.report().cumulative().messages.size(), 6);
        QCOMPARE(secondRecorder.result().outcome, UpdateOutcome::Succeeded);
        QVERIFY(good.report().cumulative().imageComplete);
        QVERIFY(good.report().cumulative().image == JobFixture::expectedImage(lines));
        // They ran side by side: the refusal came while the other update was still streaming.
        QVERIFY(firstRecorder.clock.isValid());
        QVERIFY(secondRecorder.timeOf(QStringLiteral("Upload complete.")) >
                firstRecorder.timeOf(QStringLiteral("NAK - ")));
    }

    void finishedIsTheLastSignal_data()
    {
        QTest::addColumn<QString>("ending");
        for (const char* ending : {"success", "refusal", "no connection", "abort"})
            QTest::newRow(ending) << QString::fromLatin1(ending);
    }

    void finishedIsTheLastSignal()
    {
        QFETCH(QString, ending);
        JobFixture f;
        f.debug = true;
        f.writeFirmware(HexFile::join(HexFile::plain(50)));
        UpdateRequest request = f.request();
        if (ending == QLatin1String("refusal"))
            f.unit.addFault(fault(Fault::Kind::Refuse, 10, 0x02));
        if (ending == QLatin1String("no connection"))
            request.port = closedPort();
        if (ending == QLatin1String("abort")) {
            f.unit.setLatencyMs(1);
            UpdateJob& job = f.start(request);
            QVERIFY(waitUntil([&] { return f.recorder.records >= 20; }, 5000));
            job.abort();
            QCOMPARE(f.outcome(), UpdateOutcome::Cancelled);
            QTest::qWait(100);
            // Nothing was sent after it: the unit got the product code and the records sent before.
            QCOMPARE(f.unit.report().cumulative().messages.size(), 1 + f.recorder.result().recordsSent);
            QVERIFY(!f.unit.report().connections.last().open);
        } else {
            QVERIFY(f.run(request));
        }
        const qsizetype signalsAtEnd = f.recorder.signalOrder.size();
        QTest::qWait(int(12000 * f.scale)); // longer than any wait the job could still have
        QCOMPARE(f.recorder.signalOrder.size(), signalsAtEnd);
        QCOMPARE(f.recorder.signalOrder.count(QStringLiteral("finished")), 1);
        QCOMPARE(f.recorder.signalOrder.last(), QStringLiteral("finished"));
        QCOMPARE(f.recorder.phases.last(), Phase::Done);
        QVERIFY(f.recorder.states.last().isClosed());
    }

    void abortFromAnySignal_data()
    {
        QTest::addColumn<bool>("debug");
        QTest::addColumn<bool>("slow");
        QTest::addColumn<int>("refuseAt"); // -1: the unit takes everything
        QTest::newRow("success") << false << false << -1;
        QTest::newRow("success, Debug and Slow") << true << true << -1;
        QTest::newRow("refusal, Debug") << true << false << 3;
    }

    // A receiver may abort() the job from any of its signals, the n-th for each n of a whole
    // update: what follows is at most the socket's status, the phase Done and finished(), and the
    // unit has got exactly what the job counts as sent.
    void abortFromAnySignal()
    {
        QFETCH(bool, debug);
        QFETCH(bool, slow);
        QFETCH(int, refuseAt);
        QList<QByteArray> lines = HexFile::plain(3);
        lines.insert(1, HexFile::data(0xFC00, QByteArray(16, 'B'))); // skipped: boot code
        qsizetype signalsOfAWholeUpdate = 0;
        for (qsizetype at = -1; at < signalsOfAWholeUpdate; ++at) {
            JobFixture f;
            f.debug = debug;
            f.slow = slow;
            if (refuseAt >= 0)
                f.unit.addFault(fault(Fault::Kind::Refuse, refuseAt));
            f.writeFirmware(HexFile::join(lines));
            UpdateJob job(f.request());
            JobRecorder recorder;
            recorder.attach(job); // first, so it records the signal the job is aborted from
            bool aborted = false;
            const auto abortAt = [&] {
                if (!aborted && recorder.signalOrder.size() - 1 == at) {
                    aborted = true;
                    job.abort();
                }
            };
            connect(&job, &UpdateJob::logLine, &job, abortAt);
            connect(&job, &UpdateJob::progress, &job, abortAt);
            connect(&job, &UpdateJob::phaseChanged, &job, abortAt);
            connect(&job, &UpdateJob::socketStatusChanged, &job, abortAt);
            connect(&job, &UpdateJob::socketError, &job, abortAt);
            connect(&job, &UpdateJob::finished, &job, abortAt);
            job.start();
            QVERIFY(waitUntil([&] { return recorder.ended(); }, 10000));
            if (at < 0)
                signalsOfAWholeUpdate = recorder.signalOrder.size();

            const QString context =
                QStringLiteral("aborted at signal %1: %2").arg(at).arg(recorder.signalOrder.join(u','));
            const qsizetype finishedAt = recorder.signalOrder.indexOf(QStringLiteral("finished"));
            if (aborted && at < finishedAt) {
                static const QRegularExpression end(QStringLiteral("^(state,)*(phase,)?finished$"));
                QVERIFY2(end.match(recorder.signalOrder.mid(at + 1).join(u',')).hasMatch(),
                         qPrintable(context));
                if (at < finishedAt - 1) // before the phase Done
                    QCOMPARE(recorder.result().outcome, UpdateOutcome::Cancelled);
            }
            const qsizetype signalsAtEnd = recorder.signalOrder.size();
            const UpdateResult result = recorder.result();
            const auto received = [&] { return f.unit.report().cumulative().messages.size(); };
            const qsizetype sent = qsizetype(result.reachedUnit) + result.recordsSent;
            QVERIFY2(waitUntil([&] { return received() >= sent; }, 5000), qPrintable(context));
            QTest::qWait(20);
            QVERIFY2(received() == sent, qPrintable(context));
            QVERIFY2(recorder.signalOrder.size() == signalsAtEnd, qPrintable(context));
            QCOMPARE(recorder.signalOrder.count(QStringLiteral("finished")), 1);
            QCOMPARE(recorder.phases.last(), Phase::Done);
            QVERIFY(!job.socketStatus().isConnected());
        }
        QVERIFY(signalsOfAWholeUpdate > 20);
    }
};

QTEST_GUILESS_MAIN(UpdateJobTest)
#include "tst_updatejob.moc"
