#include "unitsim/StreamFramer.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

using namespace unitsim;

namespace {

const QByteArray kCommand02 = QByteArray::fromHex("F0152D0200F7");
const QByteArray kProduct = QByteArray::fromHex("FE55AA010036CC");
const QByteArray kRecord = ":10010000214601360121470136007EFE09D2190140";
const QByteArray kEof = ":00000001FF";

QByteArray textFrame(quint8 position, const QByteArray& text)
{
    return QByteArray::fromHex("F0152D01") + char(position) + char(text.size()) + text + '\xF7';
}

// Frames as "kind:size", adjacent garbage merged (where garbage is cut depends on the chunks).
QStringList frameAll(const QByteArray& stream, qsizetype chunk)
{
    StreamFramer framer;
    QList<StreamFramer::Frame> frames;
    for (qsizetype pos = 0; pos < stream.size(); pos += chunk) {
        framer.append(stream.mid(pos, chunk));
        while (auto frame = framer.next()) {
            if (!frames.isEmpty() && frames.last().kind == MessageKind::Garbage &&
                frame->kind == MessageKind::Garbage)
                frames.last().bytes += frame->bytes;
            else
                frames.append(*frame);
        }
    }
    QStringList out;
    for (const auto& f : frames)
        out << QStringLiteral("%1:%2").arg(messageKindName(f.kind)).arg(f.bytes.size());
    if (framer.pendingBytes() > 0)
        out << QStringLiteral("pending:%1").arg(framer.pendingBytes());
    return out;
}

} // namespace

class StreamFramerTest : public QObject
{
    Q_OBJECT
private slots:
    void framesDoNotDependOnChunking()
    {
        const QByteArray stream = kCommand02 + textFrame(0x00, "Updating firmware...") + kProduct + kRecord +
                                  "junk" + kRecord + kEof + textFrame(0x40, "Do not press any buttons!");
        const QStringList whole = frameAll(stream, stream.size());
        QCOMPARE(whole, (QStringList{u"command02:6"_s, u"text:27"_s, u"productCode:7"_s, u"record:43"_s,
                                     u"garbage:4"_s, u"record:43"_s, u"record:11"_s, u"text:32"_s}));
        for (qsizetype chunk = 1; chunk < stream.size(); ++chunk)
            QCOMPARE(frameAll(stream, chunk), whole);
    }

    void resynchronises_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("frames");

        QTest::newRow("junk before product code")
            << "xyz" + kProduct << QStringList{u"garbage:3"_s, u"productCode:7"_s};
        QTest::newRow("echoed reply bytes") << QByteArray::fromHex("FD55AA0000000000") + kRecord
                                            << QStringList{u"garbage:8"_s, u"record:43"_s};
        QTest::newRow("F0 without its header")
            << QByteArray::fromHex("F01500") + kProduct << QStringList{u"garbage:3"_s, u"productCode:7"_s};
        QTest::newRow("unknown command") << QByteArray::fromHex("F0152D0700F7") + kCommand02
                                         << QStringList{u"garbage:6"_s, u"command02:6"_s};
        QTest::newRow("command 02 with wrong data")
            << QByteArray::fromHex("F0152D0201F7") + kEof << QStringList{u"garbage:6"_s, u"record:11"_s};
        QTest::newRow("text without F7 at its end") << QByteArray::fromHex("F0152D0100026162") + kProduct
                                                    << QStringList{u"garbage:8"_s, u"productCode:7"_s};
        QTest::newRow("FE without 55 AA")
            << QByteArray::fromHex("FE5500") + kProduct << QStringList{u"garbage:3"_s, u"productCode:7"_s};
        QTest::newRow("count digits not hex")
            << ":ZZ00000000" + kEof << QStringList{u"record:3"_s, u"garbage:8"_s, u"record:11"_s};
        QTest::newRow("incomplete record waits") << kRecord.left(20) << QStringList{u"pending:20"_s};
        QTest::newRow("partial header waits")
            << QByteArray::fromHex("F0152D01") << QStringList{u"pending:4"_s};
    }

    void resynchronises()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, frames);
        QCOMPARE(frameAll(stream, stream.size()), frames);
        QCOMPARE(frameAll(stream, 1), frames);
    }
};

int runStreamFramerTest(int argc, char** argv)
{
    StreamFramerTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_StreamFramer.moc"
