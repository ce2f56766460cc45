#include "HexFile.h"

#include "engine/FirmwareCheck.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

using Kind = FirmwareCheckResult::Kind;

class FirmwareCheckTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QByteArray& contents, const QString& name = QStringLiteral("unit.hex"))
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    FirmwareCheckResult check(const QByteArray& contents)
    {
        return FirmwareCheck::checkFile(write(contents));
    }

    static QByteArray bytes(int n, char fill) { return QByteArray(n, fill); }

    // A valid record with one hex digit replaced.
    static QByteArray withDigit(QByteArray line, qsizetype column, char c)
    {
        line[column - 1] = c;
        return line;
    }

private slots:
    void malformedFilesNameTheFirstProblem_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<qint64>("line");

        const QByteArray data = HexFile::data(0x0100, bytes(16, 0x11));
        const QByteArray eof = HexFile::endOfFile();
        QByteArray badSum = data;
        badSum.chop(2);
        const QByteArray goodSum = data.right(2);
        badSum += goodSum == "00" ? "01" : "00";
        // Blank lines count: the bad record is on line 4.
        QTest::newRow("checksum") << HexFile::join({data, "", data, badSum, eof})
                                  << QStringLiteral("line 4: checksum is %1, but the record's bytes need %2")
                                         .arg(QString::fromLatin1(badSum.right(2)),
                                              QString::fromLatin1(goodSum))
                                  << qint64(4);
        QTest::newRow("non-hex character")
            << HexFile::join({data, withDigit(data, 12, 'G'), eof})
            << QStringLiteral("line 2, column 12: 'G' is not a hex digit") << qint64(2);
        QTest::newRow("space after the record")
            << HexFile::join({data + " ", eof})
            << QStringLiteral("line 1, column 44: a space is not a hex digit") << qint64(1);
        QTest::newRow("control character")
            << HexFile::join({withDigit(data, 2, '\x1A'), eof})
            << QStringLiteral("line 1, column 2: the byte 0x1A is not a hex digit") << qint64(1);
        QTest::newRow("byte count against the line's length")
            << HexFile::join(
                   {data, data, withDigit(withDigit(HexFile::data(0, bytes(15, 0x22)), 2, '1'), 3, '0')})
            << QStringLiteral("line 3: the byte count says 16 data bytes, but the line holds 15")
            << qint64(3);
        QTest::newRow("one data byte")
            << HexFile::join({withDigit(HexFile::data(0, bytes(2, 0x22)), 3, '1')})
            << QStringLiteral("line 1: the byte count says 1 data byte, but the line holds 2") << qint64(1);
        QTest::newRow("odd number of hex digits")
            << HexFile::join({data.chopped(1), eof})
            << QStringLiteral("line 1: a record needs an even number of hex "
                              "digits, but the line holds 41")
            << qint64(1);
        QTest::newRow("too short") << HexFile::join({":0000000", eof})
                                   << QStringLiteral(
                                          "line 1: a record needs at least 10 hex digits, but the line "
                                          "holds 7")
                                   << qint64(1);
        QTest::newRow("only a colon")
            << HexFile::join({data, ":", eof})
            << QStringLiteral("line 2: the line holds only ':', but a record needs at "
                              "least 10 hex digits")
            << qint64(2);
        QTest::newRow("unknown record type")
            << HexFile::join(
                   {data, data, data, data, data, data, data, data, HexFile::record(0x06, 0, {}), eof})
            << QStringLiteral("line 9: record type 06 is not an Intel HEX record type (00 to 05)")
            << qint64(9);
        QTest::newRow("extended linear address of 3 bytes")
            << HexFile::join({data, data, data, HexFile::record(0x04, 0, bytes(3, 0)), eof})
            << QStringLiteral("line 4: an extended linear address record (04) needs 2 data bytes, not 3")
            << qint64(4);
        QTest::newRow("end-of-file record with data")
            << HexFile::join({HexFile::record(0x01, 0, bytes(2, 0))})
            << QStringLiteral("line 1: an end-of-file record (01) needs no data bytes, not 2") << qint64(1);
        QTest::newRow("start linear address of 2 bytes")
            << HexFile::join({HexFile::record(0x05, 0, bytes(2, 0)), eof})
            << QStringLiteral("line 1: a start linear address record (05) needs 4 data bytes, not 2")
            << qint64(1);
        QTest::newRow("missing colon") << HexFile::join({data, data.mid(1), eof})
                                       << QStringLiteral("line 2: a record must start with ':'") << qint64(2);
        QTest::newRow("indented record")
            << HexFile::join({"  " + data, eof}) << QStringLiteral("line 1: a record must start with ':'")
            << qint64(1);
        const QString noEnd = QStringLiteral("the file ends without an end-of-file record (:00000001FF)");
        QTest::newRow("no end-of-file record") << HexFile::join({data, data}) << noEnd << qint64(0);
        QTest::newRow("empty file") << QByteArray() << noEnd << qint64(0);
        QTest::newRow("only blank lines") << QByteArray("\r\n \t\r\n\n") << noEnd << qint64(0);
        QTest::newRow("a record after the end-of-file record")
            << HexFile::join({data, eof, "", data, eof})
            << QStringLiteral("line 4: a record follows the end-of-file record on line 2") << qint64(4);
        QTest::newRow("two files joined with a DOS end-of-file mark between")
            << HexFile::join({data, eof}) + "\x1A" + HexFile::join({data, eof})
            << QStringLiteral("line 3: a record follows the end-of-file record on line 2") << qint64(3);
        QTest::newRow("end-of-file record in the boot code")
            << HexFile::join({data, HexFile::record(0x01, 0xFC00, {})})
            << QStringLiteral(
                   "line 2: the end-of-file record at address FC00 would be skipped as boot code, so "
                   "the unit would never get it")
            << qint64(2);

        QList<QByteArray> many = HexFile::plain(1203);
        many.removeLast(); // 1,203 data records
        many.append(withDigit(data, 20, 'x'));
        QTest::newRow("thousands") << HexFile::join(many)
                                   << QStringLiteral("line 1,204, column 20: 'x' is not a hex digit")
                                   << qint64(1204);
    }

    void malformedFilesNameTheFirstProblem()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, problem);
        QFETCH(qint64, line);
        const FirmwareCheckResult result = check(contents);
        QCOMPARE(result.problem, problem);
        QCOMPARE(result.kind, Kind::Malformed);
        QCOMPARE(result.line, line);
        QCOMPARE(result.logLines(), QStringList{u"Firmware check: "_s + problem});
    }

    // A line known to be malformed fails as soon as that is known, not when it ends: a file with
    // no line ends at all is not read to its end.
    void endlessLinesFailEarly_data()
    {
        QTest::addColumn<QByteArray>("start");
        QTest::addColumn<QString>("problem");
        QTest::newRow("no colon") << QByteArray("\0\0\0")
                                  << QStringLiteral("line 2: a record must start with ':'");
        QTest::newRow("longer than any record")
            << ":" + QByteArray(600, '0')
            << QStringLiteral("line 2: the line is longer than any record (521 characters at most)");
        QTest::newRow("not hex") << QByteArray(":10000000x")
                                 << QStringLiteral("line 2, column 10: 'x' is not a hex digit");
    }

    void endlessLinesFailEarly()
    {
        QFETCH(QByteArray, start);
        QFETCH(QString, problem);
        const QByteArray contents = "\r\n" + start + QByteArray(4 * FirmwareCheck::ChunkSize, '0');
        FirmwareCheck check(write(contents));
        QVERIFY(check.step(FirmwareCheck::ChunkSize));
        QCOMPARE(check.result().problem, problem);
        QCOMPARE(check.result().line, 2);
    }

    void lineEndsCaseAndBlankLinesPass_data()
    {
        QTest::addColumn<QByteArray>("contents");
        const QList<QByteArray> lines = HexFile::plain(5);
        QTest::newRow("CR LF") << HexFile::join(lines, "\r\n");
        QTest::newRow("LF only") << HexFile::join(lines, "\n");
        QTest::newRow("CR only") << HexFile::join(lines, "\r");
        QTest::newRow("no terminator on the last line") << HexFile::join(lines, "\n").chopped(1);
        QTest::newRow("lower-case hex") << HexFile::join(lines).toLower();
        QTest::newRow("blank lines") << "\r\n" + HexFile::join(lines.mid(0, 2)) + " \t\r\n\r\n" +
                                            HexFile::join(lines.mid(2)) + "\r\n\n  ";
    }

    void lineEndsCaseAndBlankLinesPass()
    {
        QFETCH(QByteArray, contents);
        const FirmwareCheckResult result = check(contents);
        QCOMPARE(result.problem, QString());
        QCOMPARE(result.kind, Kind::Ok);
        QCOMPARE(result.summary.records, 6);
        QCOMPARE(result.summary.recordsToSend, 6);
        QCOMPARE(result.summary.dataBytes, 80);
        QCOMPARE(result.summary.ranges.kept(), (QList<AddressRange>{{0, 79}}));
        QCOMPARE(result.summary.linesAfterEnd, 0);
    }

    void linesAfterTheEndOfFileRecordAreLeftOut()
    {
        const QByteArray firmware = HexFile::join(HexFile::plain(2));
        FirmwareCheckResult result = check(firmware + "\x1A");
        QCOMPARE(result.kind, Kind::Ok);
        QCOMPARE(result.summary.linesAfterEnd, 1);
        QCOMPARE(result.summary.records, 3);
        QCOMPARE(result.logLines().first(),
                 QStringLiteral("Firmware check: 3 records, 3 to send, 32 data bytes; 1 "
                                "line after the end-of-file record is not sent"));

        result = check(firmware + "\r\n  \r\nbuilt 2024-05-01\r\n\x1A");
        QCOMPARE(result.kind, Kind::Ok);
        QCOMPARE(result.summary.linesAfterEnd, 2); // blank lines are not counted
    }

    // Skip rules as the upload applies them, extended addresses, merged ranges and the log text.
    void summaryOfAGeneratedFile()
    {
        QList<QByteArray> lines;
        for (int i = 0; i < 4; ++i) // 0x0000-0x003F
            lines.append(HexFile::data(quint16(i * 16), bytes(16, char(i))));
        lines.append(HexFile::data(0x0040, bytes(32, char(0xFF)))); // all-FF: skipped
        lines.append(HexFile::data(0x0060, bytes(16, char(0xFF)))); // 16 bytes of FF are sent
        lines.append(HexFile::data(0xFC00, bytes(16, 1)));          // boot code
        lines.append(HexFile::data(0xFC20, bytes(32, char(0xFF)))); // both rules: counted as all-FF
        lines.append(HexFile::extendedLinear(0x0001));
        lines.append(HexFile::data(0x0000, bytes(16, 2)));                   // 0x10000-0x1000F
        lines.append(HexFile::data(0x0008, bytes(16, 3)));                   // overlaps: 0x10000-0x10017
        lines.append(HexFile::data(0x0018, bytes(8, 3)));                    // adjacent: 0x10000-0x1001F
        lines.append(HexFile::record(0x02, 0, QByteArray::fromHex("2000"))); // segment 0x2000 * 16
        lines.append(HexFile::data(0x0010, bytes(4, 4)));                    // 0x20010-0x20013
        lines.append(HexFile::record(0x05, 0, bytes(4, 0)));                 // start address: sent, no data
        lines.append(HexFile::endOfFile());

        const FirmwareCheckResult result = check(HexFile::join(lines));
        QCOMPARE(result.problem, QString());
        const FirmwareSummary& summary = result.summary;
        QCOMPARE(summary.records, 16);
        QCOMPARE(summary.skippedNoData, 2);
        QCOMPARE(summary.skippedBootCode, 1);
        QCOMPARE(summary.recordsToSend, 13);
        QCOMPARE(summary.dataBytes, 4 * 16 + 16 + 16 + 16 + 8 + 4);
        QCOMPARE(summary.ranges.kept(),
                 (QList<AddressRange>{{0x0, 0x3F}, {0x60, 0x6F}, {0x10000, 0x1001F}, {0x20010, 0x20013}}));
        QCOMPARE(summary.ranges.more(), 0);
        QCOMPARE(result.summary.logLines(),
                 (QStringList{u"Firmware check: 16 records, 13 to send (2 skipped as all-FF, 1 as boot "
                              u"code), 124 data bytes"_s,
                              u"Addresses: 0x00000000-0x0000003F, 0x00000060-0x0000006F, "
                              u"0x00010000-0x0001001F, 0x00020010-0x00020013"_s}));
    }

    // Every 64 KiB page of the generated file has boot code at FC00-FCFF.
    void bootCodeInEveryPageOfAGeneratedFile()
    {
        const FirmwareCheckResult result = check(HexFile::join(HexFile::plain(8192)));
        QCOMPARE(result.summary.logLines(),
                 (QStringList{u"Firmware check: 8,194 records, 8,162 to send (32 skipped as boot code), "
                              u"130,560 data bytes"_s,
                              u"Addresses: 0x00000000-0x0000FBFF, 0x0000FD00-0x0001FBFF, "
                              u"0x0001FD00-0x0001FFFF"_s}));
    }

    // Memory stays bounded: past MaxKept ranges the rest are counted, not kept.
    void rangesBeyondTheLimitAreCounted()
    {
        AddressRanges ranges;
        for (quint64 i = 0; i < 40; ++i) { // in address order, each range two records long
            ranges.add(i * 0x100, i * 0x100 + 0x0F);
            ranges.add(i * 0x100 + 0x10, i * 0x100 + 0x1F);
        }
        QCOMPARE(ranges.kept().size(), AddressRanges::MaxKept);
        QCOMPARE(ranges.kept().last(), (AddressRange{31 * 0x100, 31 * 0x100 + 0x1F}));
        QCOMPARE(ranges.more(), 8);

        FirmwareSummary summary;
        summary.ranges = ranges;
        QVERIFY(
            summary.logLines().last().endsWith(QStringLiteral("0x00001F00-0x00001F1F, and 8 more ranges")));

        // A range that bridges kept ones merges them, wherever it comes.
        AddressRanges bridged;
        bridged.add(0x30, 0x3F);
        bridged.add(0x00, 0x0F);
        bridged.add(0x10, 0x2F);
        QCOMPARE(bridged.kept(), (QList<AddressRange>{{0x00, 0x3F}}));
    }

    void slicesGiveTheSameResultAsOneGo_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QByteArray crlfAtEveryOffset;
        for (int i = 0; i < 7; ++i)
            crlfAtEveryOffset += HexFile::data(quint16(i * 16), bytes(i, 5)) + (i % 2 ? "\r\n" : "\r");
        QTest::newRow("mixed line ends") << crlfAtEveryOffset + "\r\n" + HexFile::endOfFile() + "\r\n\x1A";
        QTest::newRow("problem late in the file")
            << HexFile::join(HexFile::plain(40)).replace(":10027000", ":10027001");
        QTest::newRow("record after the end") << HexFile::join(HexFile::plain(3) + HexFile::plain(1));
    }

    void slicesGiveTheSameResultAsOneGo()
    {
        QFETCH(QByteArray, contents);
        const QString path = write(contents);
        const FirmwareCheckResult whole = FirmwareCheck::checkFile(path);
        for (qint64 slice : {1, 2, 3, 7, 64}) {
            FirmwareCheck check(path);
            QCOMPARE(check.fileSize(), contents.size());
            qint64 before = 0;
            int steps = 0;
            while (!check.step(slice)) {
                QVERIFY(check.bytesChecked() - before <= slice);
                QVERIFY(check.bytesChecked() > before);
                before = check.bytesChecked();
                QVERIFY(++steps <= contents.size());
            }
            QVERIFY(check.finished());
            QCOMPARE(check.result(), whole);
        }
    }

    void unreadablePathsSayWhy()
    {
        FirmwareCheckResult result = FirmwareCheck::checkFile(m_dir.filePath(QStringLiteral("gone.hex")));
        QCOMPARE(result.kind, Kind::Unreadable);
        QCOMPARE(result.problem, QStringLiteral("No such file or directory"));
        QCOMPARE(result.logLines(),
                 QStringList{u"Firmware check: the file cannot be read: No such file or directory"_s});

        result = FirmwareCheck::checkFile(m_dir.path());
        QCOMPARE(result.kind, Kind::Unreadable);
        QVERIFY(!result.problem.isEmpty());

        FirmwareCheck check(m_dir.path());
        QVERIFY(check.finished());
        QVERIFY(check.step(1));
    }

    // The SHA-256 is of the file's exact bytes, line ends and all, and read in the same pass.
    void sha256OfTheExactBytes_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("CR LF") << HexFile::join(HexFile::plain(300), "\r\n");
        QTest::newRow("LF, blank lines and a note after the end")
            << HexFile::join(HexFile::plain(300), "\n") + "\n\nbuilt by CI\n";
    }

    void sha256OfTheExactBytes()
    {
        QFETCH(QByteArray, contents);
        const QString expected =
            QString::fromLatin1(QCryptographicHash::hash(contents, QCryptographicHash::Sha256).toHex());
        const FirmwareCheckResult result = check(contents);
        QVERIFY(result.ok());
        QCOMPARE(result.sha256, expected);
        QCOMPARE(result.logLines().last(), u"SHA-256: "_s + expected);
        FirmwareCheck sliced(m_dir.filePath(u"unit.hex"_s));
        while (!sliced.step(100)) {
        }
        QCOMPARE(sliced.result().sha256, expected);
    }

    // The file must be the one expected: by the caller, and by a checksum file beside it in the
    // form sha256sum writes. Either difference is refused like a malformed file, naming both.
    void expectedSha256_data()
    {
        const QByteArray contents = HexFile::join(HexFile::plain(20));
        const QString actual =
            QString::fromLatin1(QCryptographicHash::hash(contents, QCryptographicHash::Sha256).toHex());
        const QString other = QString(64, u'a');
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("sidecar"); // empty: none
        QTest::addColumn<QString>("problem");    // empty: the file passes
        QTest::newRow("nothing expected") << QString() << QByteArray() << QString();
        QTest::newRow("the right hash, upper case") << actual.toUpper() << QByteArray() << QString();
        QTest::newRow("another hash")
            << other << QByteArray() << u"its SHA-256 is %1, but %2 was expected"_s.arg(actual, other);
        QTest::newRow("sidecar agrees") << QString() << (actual + u"  unit.hex\n"_s).toUtf8() << QString();
        QTest::newRow("sidecar agrees, binary mode, other files too")
            << QString() << (other + u"  other.hex\n"_s + actual + u" *unit.hex\n"_s).toUtf8() << QString();
        QTest::newRow("sidecar names another file only, its one line counts")
            << QString() << (actual + u"  renamed.hex\n"_s).toUtf8() << QString();
        QTest::newRow("sidecar disagrees")
            << QString() << (other + u"  unit.hex\n"_s).toUtf8()
            << u"its SHA-256 is %1, but unit.hex.sha256 says %2"_s.arg(actual, other);
        QTest::newRow("sidecar not in sha256sum's form")
            << QString() << QByteArray("unit.hex: OK\n")
            << u"unit.hex.sha256 is not in the form sha256sum writes (HASH  NAME)"_s;
        QTest::newRow("sidecar lists other files only")
            << QString() << (other + u"  a.hex\n"_s + other + u"  b.hex\n"_s).toUtf8()
            << u"unit.hex.sha256 holds no SHA-256 for unit.hex"_s;
        QTest::newRow("both agree") << actual << (actual + u"  unit.hex\n"_s).toUtf8() << QString();
    }

    void expectedSha256()
    {
        QFETCH(QString, expected);
        QFETCH(QByteArray, sidecar);
        QFETCH(QString, problem);
        const QString path = write(HexFile::join(HexFile::plain(20)));
        QFile::remove(path + u".sha256"_s);
        if (!sidecar.isEmpty())
            write(sidecar, u"unit.hex.sha256"_s);
        const FirmwareCheckResult result = FirmwareCheck::checkFile(path, expected);
        if (problem.isEmpty()) {
            QVERIFY2(result.ok(), qPrintable(result.problem));
        } else {
            QCOMPARE(result.kind, Kind::Malformed);
            QCOMPARE(result.problem, problem);
            QCOMPARE(result.refusal(path), u"The firmware file %1 cannot be sent: %2"_s.arg(path, problem));
        }
        QFile::remove(path + u".sha256"_s);
    }
};

QTEST_GUILESS_MAIN(FirmwareCheckTest)
#include "tst_firmwarecheck.moc"
