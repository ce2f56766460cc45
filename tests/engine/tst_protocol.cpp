#include "engine/ElapsedFormat.h"
#include "engine/Frames.h"
#include "engine/RecordRules.h"
#include "engine/ReplyReader.h"
#include "engine/UnitReplies.h"

#include <QTest>

using UnitReplies::Code;

Q_DECLARE_METATYPE(UnitReplies::Code)

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// One data arrival through the update's reply reader: what it took, and what stays.
QList<Code> recogniseOnce(QByteArray& buffer, int* stray = nullptr)
{
    ReplyReader reader;
    reader.append(buffer);
    const ReplyReader::Arrival arrival = reader.takeReplies();
    if (stray)
        *stray = int(arrival.strayBytes);
    buffer = reader.held();
    return {arrival.replies().begin(), arrival.replies().end()};
}

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT
private slots:
    void frames()
    {
        QCOMPARE(Frames::Command2Frame(), hex("f0152d0200f7"));
        const QByteArray first =
            Frames::TextFrame(Frames::FirstTextLine, QStringLiteral("Updating firmware..."));
        QCOMPARE(first.size(), 27);
        QCOMPARE(first.left(6), hex("f0152d010014"));
        QCOMPARE(first.mid(6, 20), QByteArray("Updating firmware..."));
        QCOMPARE(first.right(1), hex("f7"));
        const QByteArray second =
            Frames::TextFrame(Frames::SecondTextLine, QStringLiteral("Do not press any buttons!"));
        QCOMPARE(second.size(), 32);
        QCOMPARE(second.left(6), hex("f0152d014019"));
        QCOMPARE(second.right(1), hex("f7"));
    }

    void hexDumpRendersEveryByteWithALeadingSpace()
    {
        QCOMPARE(Frames::hexDump(hex("fe55aa010036cc")), QStringLiteral(" FE 55 AA 01 00 36 CC"));
        QCOMPARE(Frames::hexDump(hex("000a")), QStringLiteral(" 00 0A"));
        QCOMPARE(Frames::hexDump({}), QString());
        QCOMPARE(Frames::hexDump(QByteArray(5000, char(0xAB))).size(), 15000);
    }

    void recognition_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<QList<Code>>("taken");
        QTest::addColumn<int>("stray");
        QTest::addColumn<QByteArray>("left");
        QTest::newRow("acknowledgement")
            << hex("fd55aa0000000000") << QList<Code>{Code::Ack} << 0 << QByteArray();
        QTest::newRow("stray byte then checksum refusal")
            << hex("12fd55aa0100000000") << QList<Code>{Code::ChecksumRefusal} << 1 << QByteArray();
        QTest::newRow("6-byte unknown is too short")
            << hex("fd55aaff0000") << QList<Code>{} << 0 << hex("fd55aaff0000");
        QTest::newRow("unknown takes 6 of 8")
            << hex("fd55aaff00003132") << QList<Code>{Code::Unknown} << 0 << hex("3132");
        QTest::newRow("unrecognised header blocks what follows")
            << hex("fd55aa0400000000fd55aa0000000000") << QList<Code>{} << 0
            << hex("fd55aa0400000000fd55aa0000000000");
        QTest::newRow("eight stray bytes keep the last")
            << hex("0102030405060708") << QList<Code>{} << 7 << hex("08");
        QTest::newRow("two acknowledgements: one per arrival")
            << hex("fd55aa0000000000fd55aa0000000000") << QList<Code>{Code::Ack} << 0
            << hex("fd55aa0000000000");
        QTest::newRow("each code once, in order")
            << hex("fd55aa0000000000fd55aa0200000000fd55aaff0000fd55aa0100000000")
            << QList<Code>{Code::Ack, Code::ProductCodeRefusal, Code::Unknown} << 0
            << hex("fd55aa0100000000");
        QTest::newRow("header with too few bytes behind it after strays")
            << hex("0101fd55aa000000") << QList<Code>{} << 2 << hex("fd55aa000000");
    }

    void recognition()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(QList<Code>, taken);
        QFETCH(int, stray);
        QFETCH(QByteArray, left);
        int dropped = 0;
        QCOMPARE(recogniseOnce(buffer, &dropped), taken);
        QCOMPARE(dropped, stray);
        QCOMPARE(buffer, left);
    }

    // Whatever a peer sends, the reader holds little: past the limit of bytes that are no reply it
    // reports an overflow and lets go. Right up to the limit nothing changes.
    void readerBound_data()
    {
        QTest::addColumn<QList<QByteArray>>("arrivals");
        QTest::addColumn<bool>("overflow");
        const QByteArray ack = hex("fd55aa0000000000");
        const qsizetype limit = ReplyReader::UnrecognisedLimit;
        QTest::newRow("stray bytes up to the limit, then a reply")
            << QList<QByteArray>{QByteArray(limit / 2, 'x'), QByteArray(limit / 2, 'x') + ack} << false;
        QTest::newRow("stray bytes over the limit, spread over arrivals")
            << QList<QByteArray>{QByteArray(limit / 2, 'x'), QByteArray(limit / 2 + 1, 'x') + ack} << true;
        QTest::newRow("a header that is no reply, then zeros up to the limit")
            << QList<QByteArray>{hex("fd55aa0400000000") + QByteArray(limit - 1, '\0')} << false;
        QTest::newRow("a header that is no reply, then zeros past the limit")
            << QList<QByteArray>{hex("fd55aa0400000000") + QByteArray(limit, '\0')} << true;
        QTest::newRow("replies nobody asked for, past what may wait")
            << QList<QByteArray>{ack.repeated(ReplyReader::HeldLimit / 8 + 2)} << true;
        QTest::newRow("a few surplus replies")
            << QList<QByteArray>{ack.repeated(5), ack.repeated(5)} << false;
        // A unit that ends every reply with CR LF: the stray bytes count from the last reply, so
        // any number of replies passes, while the same bytes with no reply between them do not.
        const QByteArray crlf = hex("0d0a");
        QTest::newRow("CR LF after each of 4,000 replies") << QList<QByteArray>(4000, ack + crlf) << false;
        const QByteArray stream = QList<QByteArray>(4000, ack + crlf).join();
        QList<QByteArray> pieces;
        for (qsizetype at = 0; at < stream.size(); at += 7)
            pieces << stream.mid(at, 7);
        QTest::newRow("CR LF after each of 4,000 replies, in pieces of 7 bytes") << pieces << false;
        QTest::newRow("the same bytes without the replies") << QList<QByteArray>(4000, crlf) << true;
    }

    void readerBound()
    {
        QFETCH(QList<QByteArray>, arrivals);
        QFETCH(bool, overflow);
        ReplyReader reader;
        bool overflowed = false;
        for (const QByteArray& bytes : arrivals) {
            reader.append(bytes);
            const ReplyReader::Arrival arrival = reader.takeReplies();
            overflowed = overflowed || arrival.overflow;
            if (arrival.overflow) {
                QCOMPARE(arrival.replyCount, 0);
                QCOMPARE(reader.held().size(), 0);
            }
        }
        QCOMPARE(overflowed, overflow);
        reader.clear(); // a new update starts counting afresh
        reader.append(QByteArray(ReplyReader::UnrecognisedLimit, 'x') + hex("fd55aa0000000000"));
        QVERIFY(!reader.takeReplies().overflow);
    }

    void skipRules_data()
    {
        const QByteArray ff64(64, 'F');
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("skip");
        QTest::newRow("32-byte all-FF record")
            << QByteArray(":201A4000" + ff64 + "A0") << int(RecordRules::Skip::NoData);
        QTest::newRow("16-byte all-FF record is sent")
            << QByteArray(":101A4000" + QByteArray(32, 'F') + "A0") << int(RecordRules::Skip::None);
        QTest::newRow("lower-case f never matches")
            << QByteArray(":201A4000" + QByteArray(64, 'f') + "A0") << int(RecordRules::Skip::None);
        QTest::newRow("boot code at FC10")
            << QByteArray(":10FC100000112233445566778899AABBCCDDEEFF00") << int(RecordRules::Skip::BootCode);
        QTest::newRow("both rules: no data wins")
            << QByteArray(":20FC0000" + ff64 + "E4") << int(RecordRules::Skip::NoData);
        QTest::newRow("fc lower case is no boot code")
            << QByteArray(":10fc1000001122") << int(RecordRules::Skip::None);
        QTest::newRow("short line matches nothing") << QByteArray(":20") << int(RecordRules::Skip::None);
        QTest::newRow("all-FF data one character short")
            << QByteArray(":201A4000" + QByteArray(63, 'F')) << int(RecordRules::Skip::None);
        QTest::newRow("end-of-file record") << QByteArray(":00000001FF") << int(RecordRules::Skip::None);
    }

    void skipRules()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, skip);
        QCOMPARE(int(RecordRules::skipReason(line)), skip);
    }

    void recordAddress()
    {
        QVERIFY(RecordRules::isEndOfFileRecord(":00000001FF"));
        QVERIFY(!RecordRules::isEndOfFileRecord(":10000000"));
        QVERIFY(!RecordRules::isEndOfFileRecord(":0000000"));
        QCOMPARE(RecordRules::address(":201A4000FF"), QByteArray("1A40"));
        QCOMPARE(RecordRules::address(":10F"), QByteArray("F"));
    }

    void elapsedTimes()
    {
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        QCOMPARE(ElapsedFormat::thousands(1234, english), QStringLiteral("1,234"));
        QCOMPARE(ElapsedFormat::thousands(12, english), QStringLiteral("12"));
        QCOMPARE(ElapsedFormat::thousands(1234567, QLocale(QLocale::German)), QStringLiteral("1.234.567"));
        QCOMPARE(ElapsedFormat::milliseconds(10.0, 11.2344), 1234);
        QCOMPARE(ElapsedFormat::milliseconds(10.0, 10.0005), 1);
        QCOMPARE(ElapsedFormat::seconds(0.2), QStringLiteral("1 seconds."));
        QCOMPARE(ElapsedFormat::seconds(12.0), QStringLiteral("13 seconds."));
        QCOMPARE(ElapsedFormat::seconds(36.4), QStringLiteral("37 seconds."));
        QCOMPARE(ElapsedFormat::seconds(1234.6), QStringLiteral("1235 seconds."));
    }
};

QTEST_GUILESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
