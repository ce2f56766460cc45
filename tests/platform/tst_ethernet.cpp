#include "platform/Ethernet.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

// A port on 127.0.0.1 that nobody listens on.
quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace

class EthernetTest : public QObject
{
    Q_OBJECT

    QTcpServer m_server;
    Ethernet* m_ethernet = nullptr;

    // Connects the adapter to the test server and returns the server's side.
    QTcpSocket* connectToServer()
    {
        m_ethernet->setRemotePort(m_server.serverPort());
        m_ethernet->setRemoteHost(QStringLiteral("127.0.0.1"));
        m_ethernet->connectToUnit();
        if (!m_server.waitForNewConnection(5000))
            return nullptr;
        QTcpSocket* peer = m_server.nextPendingConnection();
        if (!QTest::qWaitFor([this] { return m_ethernet->state() == Ethernet::Connected; }, 5000))
            return nullptr;
        return peer;
    }

private slots:
    void init()
    {
        QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
        m_ethernet = new Ethernet(this);
    }

    void cleanup()
    {
        delete m_ethernet;
        m_server.close();
    }

    void refusedConnectionRaisesErrorAndStaysInErrorUntilClosed()
    {
        QSignalSpy errors(m_ethernet, &Ethernet::error);
        m_ethernet->setRemotePort(closedPort());
        m_ethernet->setRemoteHost(QStringLiteral("127.0.0.1"));
        m_ethernet->connectToUnit();
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.first().at(0).toInt(), 10061);
        QVERIFY(!errors.first().at(1).toString().isEmpty());
        QTest::qWait(50);
        QCOMPARE(m_ethernet->state(), int(Ethernet::Error));
        m_ethernet->close();
        QCOMPARE(m_ethernet->state(), int(Ethernet::Closed));
    }

    void unknownHostRaises11001()
    {
        QSignalSpy errors(m_ethernet, &Ethernet::error);
        m_ethernet->setRemotePort(23);
        m_ethernet->setRemoteHost(QStringLiteral("no-such-unit.invalid"));
        m_ethernet->connectToUnit();
        QVERIFY(errors.wait(10000));
        QCOMPARE(errors.first().at(0).toInt(), 11001);
        QCOMPARE(m_ethernet->state(), int(Ethernet::Error));
        QCOMPARE(m_ethernet->remoteHost(), QStringLiteral("no-such-unit.invalid"));
    }

    void sendsBytesUnchangedAndReadsEverythingReceived()
    {
        QTcpSocket* peer = connectToServer();
        QVERIFY(peer);
        QCOMPARE(m_ethernet->state(), int(Ethernet::Connected));

        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QVERIFY(m_ethernet->sendData(all));
        QByteArray got;
        QVERIFY(QTest::qWaitFor([&] { got += peer->readAll(); return got.size() >= all.size(); }, 5000));
        QCOMPARE(got, all);

        QSignalSpy arrivals(m_ethernet, &Ethernet::dataArrival);
        peer->write(QByteArray::fromHex("fd55aa0000000000"));
        QVERIFY(arrivals.wait(5000));
        QCOMPARE(m_ethernet->getData(), QByteArray::fromHex("fd55aa0000000000"));
        QCOMPARE(m_ethernet->getData(), QByteArray());
    }

    void peerCloseIsStateEightWithoutErrorAndKeepsUnreadBytes()
    {
        QTcpSocket* peer = connectToServer();
        QVERIFY(peer);
        QSignalSpy errors(m_ethernet, &Ethernet::error);
        QSignalSpy closed(m_ethernet, &Ethernet::peerClosed);
        peer->write("last words");
        peer->flush();
        peer->disconnectFromHost();
        QVERIFY(closed.wait(5000));
        QCOMPARE(m_ethernet->state(), int(Ethernet::PeerClosing));
        QCOMPARE(errors.count(), 0);
        QCOMPARE(m_ethernet->getData(), QByteArray("last words"));
        QVERIFY(!m_ethernet->sendData("more"));
        m_ethernet->close();
        QCOMPARE(m_ethernet->state(), int(Ethernet::Closed));
    }

    // The status line follows the state through its signal, latched states included.
    void stateChangesAreSignalled()
    {
        QSignalSpy states(m_ethernet, &Ethernet::stateChanged);
        QSignalSpy connected(m_ethernet, &Ethernet::connected);
        QTcpSocket* peer = connectToServer();
        QVERIFY(peer);
        QCOMPARE(connected.count(), 1);
        peer->disconnectFromHost();
        QTRY_COMPARE(m_ethernet->state(), int(Ethernet::PeerClosing));
        m_ethernet->close();
        QList<int> seen;
        for (const QList<QVariant>& args : states)
            seen << args.at(0).toInt();
        QCOMPARE(seen.mid(seen.size() - 3),
                 (QList<int>{int(Ethernet::Connected), int(Ethernet::PeerClosing), int(Ethernet::Closed)}));
        QVERIFY(seen.contains(int(Ethernet::Connecting)));
        for (qsizetype i = 1; i < seen.size(); ++i)
            QVERIFY(seen.at(i) != seen.at(i - 1)); // only changes
    }

    void connectOnAnOpenSocketStartsAFreshConnection()
    {
        QTcpSocket* first = connectToServer();
        QVERIFY(first);
        QSignalSpy firstGone(first, &QTcpSocket::disconnected);
        QTcpSocket* second = connectToServer();
        QVERIFY(second);
        QVERIFY(firstGone.count() > 0 || firstGone.wait(5000));
        QCOMPARE(m_ethernet->state(), int(Ethernet::Connected));
    }
};

QTEST_MAIN(EthernetTest)
#include "tst_ethernet.moc"
