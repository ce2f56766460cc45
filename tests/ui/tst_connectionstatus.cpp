#include "ConnectionStatus.h"

#include <QTest>

class TestConnectionStatus : public QObject
{
    Q_OBJECT
private slots:
    void statusLine_data();
    void statusLine();
    void errorLines_data();
    void errorLines();
};

void TestConnectionStatus::statusLine_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("expected");
    const QString host = QStringLiteral("10.0.0.5");
    QTest::newRow("0 closed") << 0 << QStringLiteral("Not connected");
    QTest::newRow("1 open") << 1 << QStringLiteral("Open");
    QTest::newRow("2 listening") << 2 << QStringLiteral("Listening");
    QTest::newRow("3 pending") << 3 << QStringLiteral("Connection pending");
    QTest::newRow("4 resolving") << 4 << QStringLiteral("Resolving 10.0.0.5");
    QTest::newRow("5 resolved") << 5 << QStringLiteral("Resolved 10.0.0.5");
    QTest::newRow("6 connecting") << 6 << QStringLiteral("Connecting to 10.0.0.5");
    QTest::newRow("7 connected") << 7 << QStringLiteral("Connected to 10.0.0.5");
    QTest::newRow("8 peer closing") << 8 << QStringLiteral("10.0.0.5 is closing the connection");
    QTest::newRow("9 error") << 9 << QStringLiteral("Error");
    QTest::newRow("10 unknown") << 10 << QStringLiteral("Unknown state");
    QTest::newRow("-1 unknown") << -1 << QStringLiteral("Unknown state");
}

void TestConnectionStatus::statusLine()
{
    QFETCH(int, state);
    QFETCH(QString, expected);
    QCOMPARE(ConnectionStatus::statusLine(state, QStringLiteral("10.0.0.5")), expected);
}

void TestConnectionStatus::errorLines_data()
{
    const QString portHint = QStringLiteral("Hint: Found device but port was not availaible. Verify port number.");
    const QString serverHint = QStringLiteral("Hint: Verify Ethernet Interface is configured as 'TCP Server'.");
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("serverHint");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("refused, port hint only")
        << 10061 << false << QStringList{QStringLiteral("Ethernet Error 10061"), QStringLiteral("why"), portHint};
    QTest::newRow("refused, both hints") << 10061 << true
                                         << QStringList{QStringLiteral("Ethernet Error 10061"), QStringLiteral("why"),
                                                        portHint, serverHint};
    QTest::newRow("time-out, no hint")
        << 10060 << true << QStringList{QStringLiteral("Ethernet Error 10060"), QStringLiteral("why")};
    QTest::newRow("negative number, minus in place of the blank")
        << -5 << false << QStringList{QStringLiteral("Ethernet Error-5"), QStringLiteral("why")};
    QTest::newRow("zero") << 0 << false << QStringList{QStringLiteral("Ethernet Error 0"), QStringLiteral("why")};
}

void TestConnectionStatus::errorLines()
{
    QFETCH(int, number);
    QFETCH(bool, serverHint);
    QFETCH(QStringList, expected);
    QCOMPARE(ConnectionStatus::errorLines(number, QStringLiteral("why"), serverHint), expected);
}

QTEST_GUILESS_MAIN(TestConnectionStatus)
#include "tst_connectionstatus.moc"
