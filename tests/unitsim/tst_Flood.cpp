#include "UnitClient.h"
#include "unitsim/ReplyWriter.h"
#include "unitsim/SimulatedUnit.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace unitsim;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

const QByteArray kAck = QByteArray::fromHex("FD55AA0000000000");
const QByteArray kHeader = QByteArray::fromHex("FD55AA0400000000");
const QByteArray kMarlin = QByteArray::fromHex("FE55AA010036CC");
const QByteArray kRecord1 = ":10010000214601360121470136007EFE09D2190140";
const QByteArray kRecord2 = ":100110002146017E17C20001FF5F16002148011928";

Fault fault(const char* text)
{
    const std::optional<Fault> parsed = Fault::parse(QString::fromLatin1(text));
    if (!parsed)
        qFatal("bad fault %s", text);
    return *parsed;
}

} // namespace

class FloodTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        unit = std::make_unique<SimulatedUnit>(Model::Marlin);
        QVERIFY(unit->listen(QHostAddress::LocalHost, 0));
    }
    void cleanup() { unit.reset(); }

    void headerFloodArrivesWholeAndLaterRepliesFollowIt()
    {
        unit->addFault(fault("flood-header:3@1"));
        UnitClient client(unit->port());
        QCOMPARE(client.exchange(kMarlin), kAck);
        client.send(kRecord1);
        QCOMPARE(client.read(8), kHeader);
        client.send(kRecord2); // arrives mid-flood; its reply comes after the stream

        const QByteArray zeros = client.read(3 * kMiB - 8, 10000);
        QCOMPARE(zeros.size(), 3 * kMiB - 8);
        QCOMPARE(zeros.count('\0'), zeros.size());
        QCOMPARE(client.read(8), kAck);
        QCOMPARE(client.quietFor(50), QByteArray());

        const ConnectionReport& report = unit->report().connections.value(0);
        QCOMPARE(report.floodBytesSent, 3 * kMiB);
        QCOMPARE(report.floodsStarted, 1);
        QCOMPARE(report.floodsCompleted, 1);
        QCOMPARE(report.recordsAccepted, 1); // the flooded record was not acknowledged
        QCOMPARE(report.messages.value(1).floodSize, 3 * kMiB);
        QCOMPARE(report.messages.value(1).reply, QByteArray());
    }

    void strayFloodHasNoFdAndEndsWithTheAck()
    {
        unit->addFault(fault("flood-stray:2@1"));
        UnitClient client(unit->port());
        QCOMPARE(client.exchange(kMarlin), kAck);
        client.send(kRecord1);
        const QByteArray stream = client.read(2 * kMiB + 8, 10000);
        QCOMPARE(stream.size(), 2 * kMiB + 8);
        QVERIFY(!stream.left(2 * kMiB).contains('\xFD'));
        QCOMPARE(stream.right(8), kAck);
        QCOMPARE(client.exchange(kRecord2), kAck);

        const ConnectionReport& report = unit->report().connections.value(0);
        QCOMPARE(report.floodBytesSent, 2 * kMiB);
        QCOMPARE(report.recordsAccepted, 2);
        QCOMPARE(report.image.byteCount(), 32);
    }

    void slowReaderKeepsTheUnitsBufferSmall()
    {
        unit->addFault(fault("flood-stray:0@0"));
        UnitClient client(unit->port());
        client.socket.setReadBufferSize(64 * 1024); // Qt stops reading from the OS once this is full
        client.send(kMarlin);
        QTest::qWait(300); // not reading: the OS buffers fill and the unit has to wait
        const qint64 bound = ReplyWriter::kFloodThreshold + 64 * 1024;
        ConnectionReport report = unit->report().connections.value(0);
        QCOMPARE(report.floodsStarted, 1);
        QVERIFY2(report.floodPeakBuffered > 0 && report.floodPeakBuffered <= bound,
                 qPrintable(QString::number(report.floodPeakBuffered)));

        // Reading in spurts keeps it bounded too.
        qint64 received = 0;
        while (received < 16 * kMiB) {
            const QByteArray chunk = client.read(64 * 1024);
            QVERIFY(!chunk.isEmpty());
            QVERIFY(!chunk.contains('\xFD'));
            received += chunk.size();
        }
        report = unit->report().connections.value(0);
        QVERIFY2(report.floodPeakBuffered <= bound, qPrintable(QString::number(report.floodPeakBuffered)));
        QVERIFY(report.floodBytesSent >= received);
        QCOMPARE(report.floodsCompleted, 0);
    }

    void closingMidFloodStopsItAndCountsWhatWasSent()
    {
        unit->addFault(fault("flood-stray:0@1"));
        QSignalSpy ended(unit.get(), &SimulatedUnit::floodEnded);
        QSignalSpy disconnected(unit.get(), &SimulatedUnit::disconnected);
        {
            UnitClient client(unit->port());
            QCOMPARE(client.exchange(kMarlin), kAck);
            client.send(kRecord1);
            QCOMPARE(client.read(kMiB, 10000).size(), kMiB);
            client.socket.abort();
        }
        QVERIFY(disconnected.wait(5000));

        const ConnectionReport& report = unit->report().connections.value(0);
        QVERIFY(!report.open);
        QCOMPARE(report.floodsStarted, 1);
        QCOMPARE(report.floodsCompleted, 0);
        QVERIFY2(report.floodBytesSent >= kMiB, qPrintable(QString::number(report.floodBytesSent)));
        // The acknowledgement behind the flood was never written, so the record does not count.
        QCOMPARE(report.recordsAccepted, 0);
        QVERIFY(report.image.isEmpty());
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended[0][1].toLongLong(), report.floodBytesSent);
        QCOMPARE(ended[0][2].toBool(), false);

        const qint64 sent = report.floodBytesSent;
        UnitClient next(unit->port()); // served as usual, and the old flood stays stopped
        QCOMPARE(next.exchange(kMarlin), kAck);
        QCOMPARE(unit->report().connections.value(0).floodBytesSent, sent);
        QCOMPARE(unit->report().cumulative().floodBytesSent, sent);
    }

    void trailFollowsTheReplyInTheSameWrite()
    {
        const QByteArray trail =
            QByteArray::fromHex("FD55AA0100000000FD55AA0200000000FD55AA0300000000FD55AAFF0000");
        unit->addFault(fault("trail:FD55AA0100000000FD55AA0200000000FD55AA0300000000FD55AAFF0000@1"));
        UnitClient client(unit->port());
        QCOMPARE(client.exchange(kMarlin), kAck);
        QCOMPARE(client.exchange(kRecord1, 8 + trail.size()), kAck + trail);
        QCOMPARE(client.exchange(kRecord2), kAck);

        const ConnectionReport& report = unit->report().connections.value(0);
        QCOMPARE(report.writes, (QList<QByteArray>{kAck, kAck + trail, kAck}));
        QCOMPARE(report.recordsAccepted, 2);
        QCOMPARE(report.refusals, 0); // trailing bytes are no verdict of the unit
    }

private:
    std::unique_ptr<SimulatedUnit> unit;
};

int runFloodTest(int argc, char** argv)
{
    FloodTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Flood.moc"
