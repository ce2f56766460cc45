#include "ClosedPort.h"

#include "platform/Ethernet.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>

class EthernetTest : public QObject
{
    Q_OBJECT

    QTcpServer m_server;
    Ethernet* m_ethernet = nullptr;

    // Connects the adapter to the test server and returns the server's side.
    QTcpSocket* connectToServer()
    {
        m_ethernet->connectToUnit(QStringLiteral("127.0.0.1"), m_server.serverPort());
        if (!m_server.waitForNewConnection(5000))
            return nullptr;
        QTcpSocket* peer = m_server.nextPendingConnection();
        if (!QTest::qWaitFor([this] { return m_ethernet->status().isConnected(); }, 5000))
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
        m_ethernet->connectToUnit(QStringLiteral("127.0.0.1"), closedPort());
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.first().at(0).value<QAbstractSocket::SocketError>(),
                 QAbstractSocket::ConnectionRefusedError);
        QVERIFY(!errors.first().at(1).toString().isEmpty());
        QTest::qWait(50);
        QVERIFY(m_ethernet->status().failed);
        m_ethernet->close();
        QVERIFY(m_ethernet->status().isClosed());
    }

    void unknownHostRaises11001()
    {
        QSignalSpy errors(m_ethernet, &Ethernet::error);
        m_ethernet->connectToUnit(QStringLiteral("no-such-unit.invalid"), 23);
        QVERIFY(errors.wait(10000));
        QCOMPARE(errors.first().at(0).value<QAbstractSocket::SocketError>(),
                 QAbstractSocket::HostNotFoundError);
        QVERIFY(m_ethernet->status().failed);
        QCOMPARE(m_ethernet->remoteHost(), QStringLiteral("no-such-unit.invalid"));
    }

    void sendsBytesUnchangedAndReadsEverythingReceived()
    {
        QTcpSocket* peer = connectToServer();
        QVERIFY(peer);
        QVERIFY(m_ethernet->status().isConnected());

        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QVERIFY(m_ethernet->sendData(all));
        QByteArray got;
        QVERIFY(QTest::qWaitFor(
            [&] {
                got += peer->readAll();
                return got.size() >= all.size();
            },
            5000));
        QCOMPARE(got, all);

        QSignalSpy arrivals(m_ethernet, &Ethernet::dataArrival);
        peer->write(QByteArray::fromHex("fd55aa0000000000"));
        QVERIFY(arrivals.wait(5000));
        QCOMPARE(m_ethernet->getData(), QByteArray::fromHex("fd55aa0000000000"));
        QCOMPARE(m_ethernet->getData(), QByteArray());
    }

    void peerCloseIsNoErrorAndKeepsUnreadBytes()
    {
        QTcpSocket* peer = connectToServer();
        QVERIFY(peer);
        QSignalSpy errors(m_ethernet, &Ethernet::error);
        QSignalSpy closed(m_ethernet, &Ethernet::peerClosed);
        peer->write("last words");
        peer->flush();
        peer->disconnectFromHost();
        QVERIFY(closed.wait(5000));
        QVERIFY(m_ethernet->status().peerClosed);
        QVERIFY(!m_ethernet->status().isConnected());
        QCOMPARE(errors.count(), 0);
        QCOMPARE(m_ethernet->getData(), QByteArray("last words"));
        QVERIFY(!m_ethernet->sendData("more"));
        m_ethernet->close();
        QVERIFY(m_ethernet->status().isClosed());
    }

    // The status line follows the state through its signal, latched states included.
    void stateChangesAreSignalled()
    {
        QSignalSpy states(m_ethernet, &Ethernet::statusChanged);
        QSignalSpy connected(m_ethernet, &Ethernet::connected);
        QTcpSocket* peer = connectToServer();
        QVERIFY(peer);
        QCOMPARE(connected.count(), 1);
        peer->disconnectFromHost();
        QTRY_VERIFY(m_ethernet->status().peerClosed);
        m_ethernet->close();
        QList<SocketStatus> seen;
        for (const QList<QVariant>& args : states)
            seen << args.at(0).value<SocketStatus>();
        const auto connectedAt =
            std::find_if(seen.begin(), seen.end(), [](const SocketStatus& s) { return s.isConnected(); });
        const auto closedByPeerAt =
            std::find_if(seen.begin(), seen.end(), [](const SocketStatus& s) { return s.peerClosed; });
        QVERIFY(connectedAt < closedByPeerAt && closedByPeerAt != seen.end());
        QVERIFY(seen.last().isClosed());
        QVERIFY(std::any_of(seen.begin(), seen.end(), [](const SocketStatus& s) {
            return s.state == QAbstractSocket::ConnectingState;
        }));
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
        QVERIFY(m_ethernet->status().isConnected());
    }
};

QTEST_MAIN(EthernetTest)
#include "tst_ethernet.moc"
