#include "UnitClient.h"
#include "unitsim/Fault.h"
#include "unitsim/FlashImage.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

using namespace unitsim;

class ProgramTest : public QObject
{
    Q_OBJECT
private slots:
    void faultSyntax_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("canonical"); // empty = must be rejected

        QTest::newRow("refusal code") << "refuse:02@0"
                                      << "refuse:02@0";
        QTest::newRow("refusal default code") << "refuse@7"
                                              << "refuse:01@7";
        QTest::newRow("stray bytes on 2nd connection") << "stray:aa55@3#2"
                                                       << "stray:AA55@3#2";
        QTest::newRow("split with gap") << "split:5@1"
                                        << "split:5@1";
        QTest::newRow("fractional latency") << "latency:0.5"
                                            << "latency:0.5";
        QTest::newRow("silence from the start") << "silence"
                                                << "silence@0";
        QTest::newRow("refusal code 04") << "refuse:04@1"
                                         << "";
        QTest::newRow("stray FD") << "stray:FD@1"
                                  << "";
        QTest::newRow("drop without message") << "drop"
                                              << "";
        QTest::newRow("latency without time") << "latency"
                                              << "";
        QTest::newRow("unknown kind") << "explode@1"
                                      << "";
        QTest::newRow("flood-header default size") << "flood-header@2"
                                                   << "flood-header:300@2";
        QTest::newRow("endless stray flood") << "FLOOD-STRAY:0@1#2"
                                             << "flood-stray:0@1#2";
        QTest::newRow("trail with FD") << "trail:fd55aaff0000@3"
                                       << "trail:FD55AAFF0000@3";
        QTest::newRow("flood size negative") << "flood-header:-1@1"
                                             << "";
        QTest::newRow("flood size fractional") << "flood-stray:1.5@1"
                                               << "";
        QTest::newRow("flood size in hex") << "flood-stray:0x10@1"
                                           << "";
        QTest::newRow("flood size empty") << "flood-header:@1"
                                          << "";
        QTest::newRow("flood size too large") << "flood-header:99999999999@1"
                                              << "";
        QTest::newRow("flood without message") << "flood-stray:5"
                                               << "";
        QTest::newRow("trail without bytes") << "trail@1"
                                             << "";
        QTest::newRow("trail odd digits") << "trail:FD5@1"
                                          << "";
        QTest::newRow("trail not hex") << "trail:ZZ@1"
                                       << "";
    }

    void faultSyntax()
    {
        QFETCH(QString, text);
        QFETCH(QString, canonical);
        QString error;
        const std::optional<Fault> fault = Fault::parse(text, &error);
        QCOMPARE(fault.has_value(), !canonical.isEmpty());
        if (fault)
            QCOMPARE(fault->toString(), canonical);
        else
            QVERIFY(!error.isEmpty());
    }

    void helpListsEveryOption()
    {
        QProcess program;
        program.start(QStringLiteral(UNITSIM_PROGRAM), {u"--help"_s});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
        const QString help = QString::fromLocal8Bit(program.readAllStandardOutput());
        for (const char* option : {"--product", "--port", "--address", "--latency", "--fault",
                                   "--record-types", "--report-every", "--save-hex", "--save-bin", "--once",
                                   "unknown-reply", "flood-header", "flood-stray", "trail:HEX"})
            QVERIFY2(help.contains(QLatin1String(option)), option);
    }

    void badOptionsExitWithError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown option") << QStringList{u"--product"_s, u"marlin"_s, u"--bogus"_s};
        QTest::newRow("no product") << QStringList{u"--port"_s, u"0"_s};
        QTest::newRow("unknown product") << QStringList{u"--product"_s, u"heron"_s};
        QTest::newRow("bad fault") << QStringList{u"--product"_s, u"marlin"_s, u"--fault"_s,
                                                  u"refuse:09@1"_s};
        QTest::newRow("negative latency")
            << QStringList{u"--product"_s, u"marlin"_s, u"--latency"_s, u"-1"_s};
        QTest::newRow("bad flood size")
            << QStringList{u"--product"_s, u"marlin"_s, u"--fault"_s, u"flood-header:big@1"_s};
    }

    void badOptionsExitWithError()
    {
        QFETCH(QStringList, arguments);
        QProcess program;
        program.start(QStringLiteral(UNITSIM_PROGRAM), arguments);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 2);
        QVERIFY(program.readAllStandardError().startsWith("unitsim: "));
    }

    void summaryCountsFloodBytes()
    {
        QProcess program;
        program.start(QStringLiteral(UNITSIM_PROGRAM), {u"--product"_s, u"marlin"_s, u"--port"_s, u"0"_s,
                                                        u"--once"_s, u"--fault"_s, u"flood-header:1@0"_s});
        QString output;
        const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        QRegularExpressionMatch match;
        while (!(match = listening.match(output)).hasMatch() && program.waitForReadyRead(10000))
            output += QString::fromLocal8Bit(program.readAllStandardOutput());
        QVERIFY2(match.hasMatch(), qPrintable(output));
        {
            UnitClient client(quint16(match.captured(1).toUInt()));
            client.send(QByteArray::fromHex("FE55AA010036CC"));
            QCOMPARE(client.read(1024 * 1024, 10000).size(), 1024 * 1024);
        }
        QVERIFY(program.waitForFinished(10000));
        output += QString::fromLocal8Bit(program.readAllStandardOutput());
        QVERIFY2(output.contains(QLatin1String("flood complete after 1048576 bytes")), qPrintable(output));
        QVERIFY2(output.contains(QLatin1String("floods: 1 of 1 complete, 1048576 bytes sent")),
                 qPrintable(output));
    }

    void servesOneUploadAndSavesIt()
    {
        QTemporaryDir dir;
        const QString hexPath = dir.filePath(QStringLiteral("image.hex"));
        QProcess program;
        program.start(QStringLiteral(UNITSIM_PROGRAM), {u"--product"_s, u"Vireo Grand"_s, u"--port"_s, u"0"_s,
                                                        u"--once"_s, u"--save-hex"_s, hexPath});
        QString output;
        const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        QRegularExpressionMatch match;
        while (!(match = listening.match(output)).hasMatch() && program.waitForReadyRead(10000))
            output += QString::fromLocal8Bit(program.readAllStandardOutput());
        QVERIFY2(match.hasMatch(), qPrintable(output));

        const QByteArray ack = QByteArray::fromHex("FD55AA0000000000");
        {
            UnitClient client(quint16(match.captured(1).toUInt()));
            QVERIFY(client.connected);
            client.socket.write(QByteArray::fromHex("FE55AA010131D0"));
            QVERIFY(client.socket.waitForReadyRead(5000));
            QCOMPARE(client.socket.readAll(), ack);
            for (const QByteArray line : {":0100100041AE", ":00000001FF"}) {
                client.socket.write(line);
                QVERIFY(client.socket.waitForReadyRead(5000));
                QCOMPARE(client.socket.readAll(), ack);
            }
        }
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
        output += QString::fromLocal8Bit(program.readAllStandardOutput());
        QVERIFY2(output.contains(QLatin1String("2 records accepted, 0 refusals")), qPrintable(output));
        QVERIFY2(output.contains(QLatin1String("complete")), qPrintable(output));

        QFile saved(hexPath);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        FlashImage expected;
        expected.write(0x10, "A");
        QCOMPARE(FlashImage::fromIntelHex(saved.readAll()), expected);
    }
};

int runProgramTest(int argc, char** argv)
{
    ProgramTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Program.moc"
