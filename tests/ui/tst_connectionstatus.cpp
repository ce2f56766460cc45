// The status line for each socket state; the error lines are checked on the window itself.
#include "ui/ConnectionStatus.h"

#include <QTest>

class TestConnectionStatus : public QObject
{
    Q_OBJECT
private slots:
    void statusLine_data();
    void statusLine();
};

void TestConnectionStatus::statusLine_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("expected");
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

QTEST_GUILESS_MAIN(TestConnectionStatus)
#include "tst_connectionstatus.moc"
