#include "unitsim/FlashImage.h"

#include <QTest>

using namespace unitsim;

using Writes = QList<QPair<quint32, QByteArray>>;
using Ranges = QMap<quint32, QByteArray>;

class FlashImageTest : public QObject
{
    Q_OBJECT
private slots:
    void mergesWrites_data()
    {
        QTest::addColumn<Writes>("writes");
        QTest::addColumn<Ranges>("ranges");

        QTest::newRow("gap keeps runs apart") << Writes{{0x100, "ab"}, {0x103, "cd"}}
                                              << Ranges{{0x100, "ab"}, {0x103, "cd"}};
        QTest::newRow("touching runs merge") << Writes{{0x100, "ab"}, {0x102, "cd"}} << Ranges{{0x100, "abcd"}};
        QTest::newRow("write before touching run") << Writes{{0x102, "cd"}, {0x100, "ab"}} << Ranges{{0x100, "abcd"}};
        QTest::newRow("overlap takes the new data") << Writes{{0x100, "abcd"}, {0x102, "XYZ"}}
                                                    << Ranges{{0x100, "abXYZ"}};
        QTest::newRow("write inside a run") << Writes{{0x100, "abcdef"}, {0x102, "X"}} << Ranges{{0x100, "abXdef"}};
        QTest::newRow("write bridges three runs") << Writes{{0x100, "ab"}, {0x104, "ef"}, {0x108, "ij"}, {0x101, "BCDEFGH"}}
                                                  << Ranges{{0x100, "aBCDEFGHij"}};
        QTest::newRow("end of address space") << Writes{{0xFFFFFFFE, "abcd"}} << Ranges{{0xFFFFFFFE, "ab"}};
    }

    void mergesWrites()
    {
        QFETCH(Writes, writes);
        QFETCH(Ranges, ranges);
        FlashImage image;
        for (const auto& [address, data] : writes)
            image.write(address, data);
        QCOMPARE(image.ranges(), ranges);
    }

    void intelHexRoundTrip_data()
    {
        QTest::addColumn<int>("bytesPerRecord");
        QTest::newRow("16 bytes per record") << 16;
        QTest::newRow("32 bytes per record") << 32;
    }

    void intelHexRoundTrip()
    {
        QFETCH(int, bytesPerRecord);
        FlashImage image;
        QByteArray data(300, Qt::Uninitialized);
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 7);
        image.write(0x0800FF80, data); // crosses a 64 KiB boundary
        image.write(0x20, "low");

        const QByteArray hex = image.toIntelHex(bytesPerRecord);
        QString error;
        QCOMPARE(FlashImage::fromIntelHex(hex, &error), image);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        const QList<QByteArray> lines = hex.trimmed().split('\n');
        QCOMPARE(lines.last(), QByteArray(":00000001FF"));
        QVERIFY(lines.contains(":020000040800F2"));
        QVERIFY(lines.contains(":020000040801F1"));
        for (const QByteArray& line : lines)
            QVERIFY(line.size() <= 11 + 2 * bytesPerRecord);
    }

    void binaryFillsGapsWithFF()
    {
        FlashImage image;
        image.write(0x1002, "\x01\x02");
        image.write(0x1000, "\x0A");
        QCOMPARE(image.toBinary(), QByteArray("\x0A\xFF\x01\x02", 4));
        QCOMPARE(FlashImage().toBinary(), QByteArray());
    }

    void rejectsBrokenFiles_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<QString>("where");
        QTest::newRow("bad checksum") << QByteArray(":0100100041AF\n:00000001FF\n") << "line 1";
        QTest::newRow("bad digit") << QByteArray(":0100100041AE\n:01001100G1AD\n:00000001FF\n") << "line 2";
        QTest::newRow("no end-of-file record") << QByteArray(":0100100041AE\n") << "end-of-file";
    }

    void rejectsBrokenFiles()
    {
        QFETCH(QByteArray, hex);
        QFETCH(QString, where);
        QString error;
        QVERIFY(FlashImage::fromIntelHex(hex, &error).isEmpty());
        QVERIFY2(error.contains(where), qPrintable(error));
    }
};

int runFlashImageTest(int argc, char** argv)
{
    FlashImageTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_FlashImage.moc"
