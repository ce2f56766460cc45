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
    QTest::addColumn<bool>("exitMenu");
    QTest::newRow("connection wait") << "connection" << false;
    QTest::newRow("connection wait after a refusal") << "refused" << false;
    QTest::newRow("slow pause") << "slow" << false;
    QTest::newRow("end-of-file wait") << "end-of-file" << false;
    QTest::newRow("wait before writing") << "write-start" << false;
    QTest::newRow("write wait") << "write" << false;
    QTest::newRow("reboot wait") << "reboot" << false;
    QTest::newRow("reboot wait, File > Exit") << "reboot" << true;
    QTest::newRow("loop wait") << "loop" << false;
}

void TestShutdown::closeDuringWait()
{
    QFETCH(QString, stage);
    QFETCH(bool, exitMenu);
    QProcess driver;
    driver.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    driver.setProcessEnvironment(env);
    QStringList arguments{stage};
    if (exitMenu)
        arguments << QStringLiteral("--exit-menu");
    driver.start(QStringLiteral(SHUTDOWN_DRIVER), arguments);
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
