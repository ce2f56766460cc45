#include "engine/FirmwareFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class FirmwareFileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QByteArray& contents)
    {
        const QString path = m_dir.filePath(QStringLiteral("unit.hex"));
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(contents);
        return path;
    }

    static QList<QByteArray> readAll(FirmwareFile& file, QList<qint64>* positions = nullptr)
    {
        QList<QByteArray> lines;
        while (!file.atEnd()) {
            lines.append(file.readLine());
            if (positions)
                positions->append(file.position());
        }
        return lines;
    }

private slots:
    void lineEndings_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QList<QByteArray>>("lines");
        const QList<QByteArray> abc{"a", "bb", "ccc"};
        QTest::newRow("CR LF") << QByteArray("a\r\nbb\r\nccc\r\n") << abc;
        QTest::newRow("CR only") << QByteArray("a\rbb\rccc\r") << abc;
        QTest::newRow("LF only") << QByteArray("a\nbb\nccc\n") << abc;
        QTest::newRow("mixed, last line unterminated") << QByteArray("a\rbb\r\nccc") << abc;
        QTest::newRow("blank lines are passed over, inside and after")
            << QByteArray("a\r\n\r\nbb\r\nccc\r\n\r\n  \r\n\n") << abc;
        QTest::newRow("leading blank lines") << QByteArray("\r\n\r\na\n") << QList<QByteArray>{"a"};
        QTest::newRow("empty file") << QByteArray() << QList<QByteArray>{};
        QTest::newRow("only blank lines") << QByteArray("\r\n\r\n") << QList<QByteArray>{};
    }

    void lineEndings()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QList<QByteArray>, lines);
        const QString path = write(contents);
        // Tiny chunks put every CR, LF and CR LF at a chunk boundary somewhere.
        for (qint64 chunkSize : {FirmwareFile::ChunkSize, qint64(1), qint64(2), qint64(3)}) {
            FirmwareFile file(chunkSize);
            QVERIFY(file.open(path));
            QCOMPARE(file.size(), contents.size());
            QCOMPARE(readAll(file), lines);
            QVERIFY(file.readLine().isEmpty());
            QCOMPARE(file.position(), contents.size());
        }
    }

    // CR LF split across the chunk boundary is one terminator; positions count every byte.
    void terminatorsAcrossChunksAndPositions()
    {
        QByteArray contents;
        QList<QByteArray> expected;
        QList<qint64> positions;
        int lineNo = 0;
        while (contents.size() < 3 * FirmwareFile::ChunkSize) {
            QByteArray line = ":10" + QByteArray::number(lineNo++).rightJustified(6, '0');
            line += QByteArray((lineNo * 7) % 50, 'A');
            expected.append(line);
            contents += line;
            contents += (lineNo % 3 == 0) ? "\n" : (lineNo % 3 == 1 ? "\r\n" : "\r");
            positions.append(contents.size());
        }
        // Force a CR LF to straddle the first chunk boundary.
        const qsizetype boundary = FirmwareFile::ChunkSize;
        QByteArray padded = QByteArray(boundary - 1, 'x') + "\r\n" + contents;
        FirmwareFile file;
        QVERIFY(file.open(write(padded)));
        QCOMPARE(file.readLine(), QByteArray(boundary - 1, 'x'));
        QCOMPARE(file.position(), boundary + 1);
        QList<qint64> got;
        QCOMPARE(readAll(file, &got), expected);
        for (qint64& p : got)
            p -= boundary + 1;
        QCOMPARE(got, positions);
    }

    // nextLine() returns blank lines too, and tells an empty line from the end.
    void nextLineReturnsEveryLine()
    {
        FirmwareFile file(2);
        QVERIFY(file.open(write("a\r\n\r\n\rb")));
        QList<QByteArray> lines;
        QByteArray line = "stale";
        while (file.nextLine(line))
            lines.append(line);
        QCOMPARE(lines, (QList<QByteArray>{"a", "", "", "b"}));
        QVERIFY(line.isEmpty());
        QCOMPARE(file.position(), 7);
    }

    void missingFileReportsWhy()
    {
        FirmwareFile file;
        QVERIFY(!file.open(m_dir.filePath(QStringLiteral("gone.hex"))));
        QVERIFY(!file.errorString().isEmpty());
        QVERIFY(!file.isOpen());
        QVERIFY(file.atEnd());
    }
};

QTEST_GUILESS_MAIN(FirmwareFileTest)
#include "tst_firmwarefile.moc"
