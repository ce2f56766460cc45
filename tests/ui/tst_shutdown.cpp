// Closing the window in the middle of each wait of an update ends the program at once and cleanly.
#include <QProcess>
#include <QTest>

class TestShutdown : public QObject
{
    Q_OBJECT
private slots:
    void closeDuringWait_data();
    void closeDuringWait();
};

void TestShutdown::closeDuringWait_data()
{
    QTest::addColumn<QString>("stage");
    QTest::newRow("connection wait") << "connection";
    QTest::newRow("connection wait after a refusal") << "refused";
    QTest::newRow("slow pause") << "slow";
    QTest::newRow("end-of-file wait") << "end-of-file";
    QTest::newRow("wait before writing") << "write-start";
    QTest::newRow("write wait") << "write";
    QTest::newRow("reboot wait") << "reboot";
    QTest::newRow("loop wait") << "loop";
}

void TestShutdown::closeDuringWait()
{
    QFETCH(QString, stage);
    QProcess driver;
    driver.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    driver.setProcessEnvironment(env);
    driver.start(QStringLiteral(SHUTDOWN_DRIVER), {stage});
    QVERIFY2(driver.waitForFinished(60000), "the program did not end");
    const QString output = QString::fromLocal8Bit(driver.readAll());

    QVERIFY2(output.contains("closing at"), qPrintable(output));
    QVERIFY2(!output.contains("ERROR: AddressSanitizer"), qPrintable(output));
    QVERIFY2(!output.contains("runtime error"), qPrintable(output));
    QVERIFY2(!output.contains("FAIL:"), qPrintable(output));
    QCOMPARE(driver.exitStatus(), QProcess::NormalExit);
    QCOMPARE(driver.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestShutdown)
#include "tst_shutdown.moc"
