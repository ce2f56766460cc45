#include "UnitClient.h"
#include "unitsim/HexRecord.h"
#include "unitsim/SimulatedUnit.h"

#include <QRandomGenerator>
#include <QTest>

#include <memory>

using namespace unitsim;

Q_DECLARE_METATYPE(unitsim::Model)
Q_DECLARE_METATYPE(unitsim::Fault)
Q_DECLARE_METATYPE(unitsim::Fault::Kind)

namespace {

QByteArray reply(quint8 code)
{
    return QByteArray::fromHex("FD55AA") + char(code) + QByteArray(4, '\0');
}

const QByteArray kAck = reply(0x00);
const QByteArray kMarlin = QByteArray::fromHex("FE55AA010036CC");
const QByteArray kRecord1 = ":10010000214601360121470136007EFE09D2190140";
const QByteArray kRecord2 = ":100110002146017E17C20001FF5F16002148011928";
const QByteArray kEof = ":00000001FF";

Fault fault(Fault::Kind kind, int atMessage, quint8 code = 0x01, const QByteArray& bytes = {}, int connection = 0)
{
    Fault f;
    f.kind = kind;
    f.atMessage = atMessage;
    f.code = code;
    f.bytes = bytes;
    f.connection = connection;
    return f;
}

// Written independently of HexRecord so the two can be checked against each other.
QByteArray hexLine(quint8 type, quint16 address, const QByteArray& data)
{
    QByteArray bytes;
    bytes += char(data.size());
    bytes += char(address >> 8);
    bytes += char(address);
    bytes += char(type);
    bytes += data;
    int sum = 0;
    for (char b : std::as_const(bytes))
        sum += quint8(b);
    bytes += char((0x100 - sum % 0x100) % 0x100);
    return ':' + bytes.toHex().toUpper();
}

QByteArray word(quint16 value)
{
    QByteArray bytes;
    bytes += char(value >> 8);
    bytes += char(value & 0xFF);
    return bytes;
}

} // namespace

class SimulatedUnitTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        unit = std::make_unique<SimulatedUnit>(Model::Marlin);
        QVERIFY(unit->listen(QHostAddress::LocalHost, 0));
    }
    void cleanup() { unit.reset(); }

    void framingAcrossSegments_data()
    {
        QTest::addColumn<int>("chunking"); // 0 = one write, 1 = byte by byte, -1 = random chunks
        QTest::newRow("all messages in one write") << 0;
        QTest::newRow("byte by byte") << 1;
        QTest::newRow("random chunks") << -1;
    }

    void framingAcrossSegments()
    {
        QFETCH(int, chunking);
        const QList<QByteArray> messages{kMarlin, kRecord1, kRecord2.left(42) + "9", ":0100000303F9", kRecord2, kEof};
        const QByteArray expected = kAck + kAck + reply(0x01) + reply(0x03) + kAck + kAck;
        const QByteArray stream = messages.join();

        UnitClient client(unit->port());
        QVERIFY(client.connected);
        QRandomGenerator random(1234);
        for (qsizetype pos = 0; pos < stream.size();) {
            const qsizetype n = chunking == 0 ? stream.size() : chunking == 1 ? 1 : random.bounded(1, 20);
            client.send(stream.mid(pos, n));
            pos += n;
            if (chunking != 0)
                QTest::qWait(1);
        }
        QCOMPARE(client.read(expected.size()), expected);
        QList<QByteArray> received;
        for (const ReceivedMessage& m : unit->report().connections.value(0).messages)
            received << m.bytes;
        QCOMPARE(received, messages);
    }

    void recordVerdicts_data()
    {
        QTest::addColumn<QList<int>>("types"); // empty = default set
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("code");

        QTest::newRow("data record") << QList<int>{} << kRecord1 << 0x00;
        QTest::newRow("lower-case digits") << QList<int>{} << kRecord1.toLower() << 0x00;
        QTest::newRow("wrong checksum") << QList<int>{} << QByteArray(kRecord1).replace(41, 2, "41") << 0x01;
        QTest::newRow("bad digit in data") << QList<int>{} << QByteArray(kRecord1).replace(12, 1, "G") << 0x01;
        QTest::newRow("count digits not hex") << QList<int>{} << QByteArray(":X0") << 0x01;
        QTest::newRow("type 03 unsupported") << QList<int>{} << hexLine(0x03, 0, "\x12\x34\x56\x78") << 0x03;
        QTest::newRow("type 05 unsupported") << QList<int>{} << hexLine(0x05, 0, "\x12\x34\x56\x78") << 0x03;
        QTest::newRow("type 05 when configured") << QList<int>{0, 1, 5} << hexLine(0x05, 0, "\x12\x34\x56\x78") << 0x00;
        QTest::newRow("type 04 when not configured") << QList<int>{0, 1} << hexLine(0x04, 0, word(0x0800)) << 0x03;
        QTest::newRow("04 with three data bytes") << QList<int>{} << hexLine(0x04, 0, "\x08\x00\x00") << 0x01;
        QTest::newRow("end of file") << QList<int>{} << kEof << 0x00;
    }

    void recordVerdicts()
    {
        QFETCH(QList<int>, types);
        QFETCH(QByteArray, line);
        QFETCH(int, code);
        if (!types.isEmpty())
            unit->setSupportedRecordTypes(QSet<int>(types.begin(), types.end()));
        UnitClient client(unit->port());
        QCOMPARE(client.exchange(kMarlin), kAck);
        QCOMPARE(client.exchange(line), reply(quint8(code)));
        QCOMPARE(client.exchange(kEof), kAck); // still framing correctly afterwards
        const ConnectionReport& report = unit->report().connections.value(0);
        QCOMPARE(report.refusals, code == 0 ? 0 : 1);
        QCOMPARE(report.recordsAccepted, code == 0 ? 2 : 1);
    }

    void productCodes_data()
    {
        QTest::addColumn<Model>("model");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("code");
        const QList<QPair<Model, QByteArray>> frames{
            {Model::Tessera, "FE55AA01012DD4"}, {Model::Caldera16, "FE55AA01022DD3"},
            {Model::VireoGrand, "FE55AA010131D0"}, {Model::Marlin, "FE55AA010036CC"},
            {Model::Quill, "FE55AA010037CB"}, {Model::Osprey, "FE55AA010038C9"}};
        for (qsizetype i = 0; i < frames.size(); ++i) {
            const auto& [model, hex] = frames[i];
            const Model other = frames[(i + 1) % frames.size()].first;
            const QByteArray frame = QByteArray::fromHex(hex);
            QTest::addRow("%s own frame", qPrintable(modelName(model))) << model << frame << 0x00;
            QTest::addRow("%s frame to %s", qPrintable(modelName(model)), qPrintable(modelName(other)))
                << other << frame << 0x02;
        }
    }

    void productCodes()
    {
        QFETCH(Model, model);
        QFETCH(QByteArray, frame);
        QFETCH(int, code);
        SimulatedUnit modelUnit(model);
        QVERIFY(modelUnit.listen(QHostAddress::LocalHost, 0));
        UnitClient client(modelUnit.port());
        QCOMPARE(client.exchange(frame), reply(quint8(code)));
    }

    void injectedFaults_data()
    {
        QTest::addColumn<Fault>("injected");
        QTest::addColumn<QByteArray>("expected"); // everything sent in answer to message 1
        QTest::addColumn<int>("accepted");        // records acknowledged in the end

        using K = Fault::Kind;
        QTest::newRow("refusal 01") << fault(K::Refuse, 1, 0x01) << reply(0x01) << 1;
        QTest::newRow("refusal 02") << fault(K::Refuse, 1, 0x02) << reply(0x02) << 1;
        QTest::newRow("refusal 03") << fault(K::Refuse, 1, 0x03) << reply(0x03) << 1;
        QTest::newRow("unknown reply") << fault(K::UnknownReply, 1) << QByteArray::fromHex("FD55AAFF0000") << 1;
        QTest::newRow("unrecognised header") << fault(K::UnknownHeader, 1) << reply(0x04) << 1;
        QTest::newRow("stray bytes") << fault(K::StrayBytes, 1, 0, QByteArray("\x00\x41\x55", 3)) << QByteArray("\x00\x41\x55", 3) + kAck
                                     << 2;
        QTest::newRow("double reply") << fault(K::DoubleReply, 1) << kAck + kAck << 2;
        QTest::newRow("other connection only") << fault(K::Refuse, 1, 0x01, {}, 2) << kAck << 2;
    }

    void injectedFaults()
    {
        QFETCH(Fault, injected);
        QFETCH(QByteArray, expected);
        QFETCH(int, accepted);
        unit->addFault(injected);
        UnitClient client(unit->port());
        QCOMPARE(client.exchange(kMarlin), kAck);
        QCOMPARE(client.exchange(kRecord1, expected.size()), expected);
        QCOMPARE(client.exchange(kRecord2), kAck); // the fault hits one message only
        QCOMPARE(client.quietFor(50), QByteArray());
        QCOMPARE(unit->report().connections.value(0).recordsAccepted, accepted);
    }

    void splitReplyArrivesByteByByte()
    {
        Fault split = fault(Fault::Kind::SplitReply, 0);
        split.ms = 25;
        unit->addFault(split);
        UnitClient client(unit->port());
        client.send(kMarlin);
        QList<QByteArray> chunks;
        while (chunks.join().size() < kAck.size()) {
            const QByteArray chunk = client.read(1);
            QVERIFY(!chunk.isEmpty());
            chunks << chunk + client.socket.readAll();
        }
        QCOMPARE(chunks.join(), kAck);
        QCOMPARE(chunks.size(), kAck.size());
        QCOMPARE(unit->report().connections.value(0).writes.size(), kAck.size());
    }

    void silenceKeepsConnectionOpen()
    {
        unit->addFault(fault(Fault::Kind::Silence, 1));
        UnitClient client(unit->port());
        QCOMPARE(client.exchange(kMarlin), kAck);
        client.send(kRecord1);
        QCOMPARE(client.quietFor(200), QByteArray());
        client.send(kRecord2);
        QCOMPARE(client.quietFor(100), QByteArray());
        QCOMPARE(client.socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(unit->report().connections.value(0).messages.size(), 3);
    }

    void dropClosesWithoutReply_data()
    {
        QTest::addColumn<Fault::Kind>("kind");
        QTest::newRow("orderly close") << Fault::Kind::Drop;
        QTest::newRow("reset") << Fault::Kind::Reset;
    }

    void dropClosesWithoutReply()
    {
        QFETCH(Fault::Kind, kind);
        unit->addFault(fault(kind, 1, 0, {}, 1));
        {
            UnitClient client(unit->port());
            QCOMPARE(client.exchange(kMarlin), kAck);
            QSignalSpy closed(&client.socket, &QTcpSocket::disconnected);
            client.send(kRecord1);
            QVERIFY(closed.wait(2000));
            QCOMPARE(client.socket.readAll(), QByteArray());
        }
        // The next connection is served normally.
        UnitClient again(unit->port());
        QCOMPARE(again.exchange(kMarlin), kAck);
        QCOMPARE(again.exchange(kRecord1), kAck);
        QCOMPARE(unit->report().connections.size(), 2);
        QVERIFY(!unit->report().connections[0].open);
    }

    void servesOneConnectionAtATime()
    {
        auto first = std::make_unique<UnitClient>(unit->port());
        QCOMPARE(first->exchange(kMarlin), kAck);
        UnitClient second(unit->port());
        QVERIFY(second.connected); // waits in the backlog
        second.send(kMarlin);
        QCOMPARE(second.quietFor(200), QByteArray());
        first.reset();
        QCOMPARE(second.read(8), kAck);
        QCOMPARE(unit->report().connections.size(), 2);
    }

    void refusesConnectionsWhileNotListening()
    {
        const quint16 port = unit->port();
        unit->stopListening();
        UnitClient refused(port);
        QVERIFY(!refused.connected);
        QCOMPARE(refused.socket.error(), QAbstractSocket::ConnectionRefusedError);
        QVERIFY(unit->listen(QHostAddress::LocalHost, port));
        UnitClient accepted(port);
        QCOMPARE(accepted.exchange(kMarlin), kAck);
    }

    void latencyDelaysEveryReply()
    {
        unit->setLatencyMs(40);
        UnitClient client(unit->port());
        QElapsedTimer clock;
        clock.start();
        client.send(kMarlin + kRecord1);
        QCOMPARE(client.read(16), kAck + kAck);
        QVERIFY2(clock.elapsed() >= 75, qPrintable(QString::number(clock.elapsed())));
    }

    void keepsDisplayTextsWithoutReplying()
    {
        SimulatedUnit caldera(Model::Caldera16);
        QVERIFY(caldera.listen(QHostAddress::LocalHost, 0));
        UnitClient client(caldera.port());
        const QByteArray line1 = "Updating firmware...";
        const QByteArray line2 = "Do not press any buttons!";
        client.send(QByteArray::fromHex("F0152D0200F7"));
        client.send(QByteArray::fromHex("F0152D0100") + char(line1.size()) + line1 + '\xF7');
        client.send(QByteArray::fromHex("F0152D0140") + char(line2.size()) + line2 + '\xF7');
        QCOMPARE(client.quietFor(100), QByteArray());
        QCOMPARE(client.exchange(QByteArray::fromHex("FE55AA01022DD3")), kAck);

        const ConnectionReport& report = caldera.report().connections.value(0);
        QCOMPARE(report.texts, (QList<ShownText>{{0x00, line1}, {0x40, line2}}));
        QList<MessageKind> kinds;
        for (const ReceivedMessage& m : report.messages)
            kinds << m.kind;
        QCOMPARE(kinds, (QList<MessageKind>{MessageKind::Command02, MessageKind::Text, MessageKind::Text,
                                            MessageKind::ProductCode}));
        QCOMPARE(report.messages.last().index, 0);
    }

    void storesAGeneratedFirmwareFile()
    {
        // ~3000 records: a segment-addressed block, then linear blocks crossing 64 KiB boundaries.
        FlashImage expected;
        QByteArrayList lines{hexLine(0x02, 0, word(0x1000))};
        QRandomGenerator random(42);
        auto data = [&](quint32 base, quint16 offset) {
            QByteArray bytes(16, Qt::Uninitialized);
            for (char& b : bytes)
                b = char(random.bounded(256));
            lines << hexLine(0x00, offset, bytes);
            expected.write(base + offset, bytes);
        };
        for (quint16 offset = 0; offset < 0x400; offset += 16)
            data(0x10000, offset);
        for (quint32 address = 0x0800F000; address < 0x0802A000; address += 16) {
            if (address % 0x10000 == 0 || address == 0x0800F000)
                lines << hexLine(0x04, 0, word(quint16(address >> 16)));
            data(address & 0xFFFF0000, quint16(address));
        }
        lines << kEof;
        QVERIFY(lines.size() > 2000);

        const QByteArray file = lines.join("\r\n") + "\r\n";
        QString error;
        QCOMPARE(FlashImage::fromIntelHex(file, &error), expected);

        UnitClient client(unit->port());
        QCOMPARE(client.exchange(kMarlin), kAck);
        for (const QByteArray& line : std::as_const(lines))
            QCOMPARE(client.exchange(line), kAck);

        const ConnectionReport& report = unit->report().connections.value(0);
        QVERIFY(report.imageComplete);
        QCOMPARE(report.image, expected);
        QCOMPARE(report.image.ranges().size(), 2);
        QCOMPARE(FlashImage::fromIntelHex(report.image.toIntelHex(32), &error), expected);
        QCOMPARE(unit->report().cumulative().image, expected);
    }

private:
    std::unique_ptr<SimulatedUnit> unit;
};

int runSimulatedUnitTest(int argc, char** argv)
{
    SimulatedUnitTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SimulatedUnit.moc"
