#include "UnitClient.h"
#include "unitsim/Fault.h"
#include "unitsim/FlashImage.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace unitsim;

class ProgramTest : public QObject
{
    Q_OBJECT
private slots:
    void faultSyntax_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("canonical"); // empty = must be rejected

        QTest::newRow("refusal code") << "refuse:02@0" << "refuse:02@0";
        QTest::newRow("refusal default code") << "refuse@7" << "refuse:01@7";
        QTest::newRow("stray bytes on 2nd connection") << "stray:aa55@3#2" << "stray:AA55@3#2";
        QTest::newRow("split with gap") << "split:5@1" << "split:5@1";
        QTest::newRow("fractional latency") << "latency:0.5" << "latency:0.5";
        QTest::newRow("silence from the start") << "silence" << "silence@0";
        QTest::newRow("refusal code 04") << "refuse:04@1" << "";
        QTest::newRow("stray FD") << "stray:FD@1" << "";
        QTest::newRow("drop without message") << "drop" << "";
        QTest::newRow("latency without time") << "latency" << "";
        QTest::newRow("unknown kind") << "explode@1" << "";
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
        program.start(QStringLiteral(UNITSIM_PROGRAM), {QStringLiteral("--help")});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
        const QString help = QString::fromLocal8Bit(program.readAllStandardOutput());
        for (const char* option : {"--product", "--port", "--address", "--latency", "--fault", "--record-types",
                                   "--report-every", "--save-hex", "--save-bin", "--once", "unknown-reply"})
            QVERIFY2(help.contains(QLatin1String(option)), option);
    }

    void badOptionsExitWithError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown option") << QStringList{"--product", "marlin", "--bogus"};
        QTest::newRow("no product") << QStringList{"--port", "0"};
        QTest::newRow("unknown product") << QStringList{"--product", "heron"};
        QTest::newRow("bad fault") << QStringList{"--product", "marlin", "--fault", "refuse:09@1"};
        QTest::newRow("negative latency") << QStringList{"--product", "marlin", "--latency", "-1"};
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

    void servesOneUploadAndSavesIt()
    {
        QTemporaryDir dir;
        const QString hexPath = dir.filePath(QStringLiteral("image.hex"));
        QProcess program;
        program.start(QStringLiteral(UNITSIM_PROGRAM),
                      {"--product", "Vireo Grand", "--port", "0", "--once", "--save-hex", hexPath});
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
