// The records an update sends, read from a file on disk; what the job does with them is in
// tst_updatejob.
#include "HexFile.h"

#include "engine/RecordStream.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Skip = RecordRules::Skip;

class RecordStreamTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path = m_dir.filePath(QStringLiteral("unit.hex"));

    void write(const QByteArray& contents)
    {
        QFile file(m_path); // in place, as a build that rewrites its output does
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(contents);
    }

    static QString sha256(const QByteArray& contents)
    {
        return QString::fromLatin1(QCryptographicHash::hash(contents, QCryptographicHash::Sha256).toHex());
    }

    // Reads records until the last one or a problem; the problem, if any, is returned.
    static std::optional<RecordStream::Problem> readToTheEnd(RecordStream& stream, QList<QByteArray>& records)
    {
        for (;;) {
            RecordStream::Next next = stream.next();
            if (const auto* problem = std::get_if<RecordStream::Problem>(&next.item))
                return *problem;
            const auto& record = std::get<RecordStream::Record>(next.item);
            records.append(record.line);
            if (record.last)
                return std::nullopt;
        }
    }

private slots:
    // Blank lines and the skipped records come to nothing but the Skipped the next answer carries;
    // the first end-of-file record is the last, whatever follows it.
    void answersUpToTheFirstEndOfFileRecord()
    {
        const QByteArray first = HexFile::data(0x0000, "0123456789abcdef");
        const QByteArray noData = HexFile::data(0x0010, QByteArray(32, char(0xFF)));
        const QByteArray bootCode = HexFile::data(0xFC10, "boot code here..");
        const QByteArray both = HexFile::data(0xFC30, QByteArray(32, char(0xFF)));
        const QByteArray second = HexFile::data(0x0030, "fedcba9876543210");
        const QByteArray upToTheEnd = first + "\r\n\r\n" + noData + "\n  \r\n" + bootCode + "\r" + both +
                                      "\r\n" + second + "\r\n" + HexFile::endOfFile() + "\r\n";
        const QByteArray contents = upToTheEnd + second + "\r\n" + HexFile::endOfFile() + "\r\n";
        write(contents);

        RecordStream stream;
        QVERIFY(!stream.open(m_path, sha256(contents)));
        QCOMPARE(stream.size(), contents.size());
        RecordStream::Next next = stream.next();
        QCOMPARE(std::get<RecordStream::Record>(next.item).line, first);
        QVERIFY(!std::get<RecordStream::Record>(next.item).last);
        QVERIFY(next.skipped.isEmpty());

        next = stream.next();
        QCOMPARE(std::get<RecordStream::Record>(next.item).line, second);
        QCOMPARE(next.skipped.size(), 3);
        QCOMPARE(next.skipped.at(0).address, QByteArray("0010"));
        QCOMPARE(next.skipped.at(0).reason, Skip::NoData);
        QCOMPARE(next.skipped.at(1).address, QByteArray("FC10"));
        QCOMPARE(next.skipped.at(1).reason, Skip::BootCode);
        QCOMPARE(next.skipped.at(2).address, QByteArray("FC30"));
        QCOMPARE(next.skipped.at(2).reason, Skip::NoData);

        next = stream.next();
        QCOMPARE(std::get<RecordStream::Record>(next.item).line, HexFile::endOfFile());
        QVERIFY(std::get<RecordStream::Record>(next.item).last);
        QCOMPARE(stream.position(), upToTheEnd.size());
        // What follows is never sent, yet it is part of the file that was checked.
        QVERIFY(!stream.confirmUnchanged());
    }

    void aFileThatCannotBeOpened()
    {
        const QString path = m_dir.filePath(QStringLiteral("gone.hex"));
        RecordStream stream;
        const auto problem = stream.open(path, sha256({}));
        QVERIFY(problem);
        QCOMPARE(problem->outcome, UpdateOutcome::FileError);
        QCOMPARE(problem->lines.size(), 1);
        QVERIFY2(
            problem->lines.first().startsWith(QStringLiteral("Cannot open the firmware file %1: ").arg(path)),
            qPrintable(problem->lines.first()));
    }

    // The file is rewritten after the first record went out, past what was read by then: shorter,
    // or only in the notes after its end-of-file record. Either way the end-of-file record must not
    // go out.
    void fileChangedBeforeItsEnd_data()
    {
        QTest::addColumn<bool>("shortened");
        QTest::newRow("shortened: no end-of-file record any more") << true;
        QTest::newRow("the notes after the end-of-file record") << false;
    }

    void fileChangedBeforeItsEnd()
    {
        QFETCH(bool, shortened);
        const QList<QByteArray> lines = HexFile::plain(3000); // several of the file's read chunks
        const QByteArray checked = HexFile::join(lines) + "built by ci #41\r\n";
        const QByteArray changed =
            shortened ? HexFile::join(lines.mid(0, 2000)) : HexFile::join(lines) + "built by ci #42\r\n";
        write(checked);

        RecordStream stream;
        QVERIFY(!stream.open(m_path, sha256(checked)));
        QList<QByteArray> records{std::get<RecordStream::Record>(stream.next().item).line};
        write(changed);
        std::optional<RecordStream::Problem> problem = readToTheEnd(stream, records);
        if (shortened) {
            QVERIFY(problem);
            QCOMPARE(records, lines.mid(0, 2000));
        } else {
            QVERIFY(!problem);
            QCOMPARE(records, lines);
            problem = stream.confirmUnchanged();
            QVERIFY(problem);
            QVERIFY2(
                problem->lines.value(0).contains(
                    QStringLiteral("its SHA-256 is now %1, not %2").arg(sha256(changed), sha256(checked))),
                qPrintable(problem->lines.value(0)));
            QCOMPARE(problem->lines.size(), 2);
        }
        QCOMPARE(problem->outcome, UpdateOutcome::FileChanged);
    }
};

QTEST_GUILESS_MAIN(RecordStreamTest)
#include "tst_recordstream.moc"
