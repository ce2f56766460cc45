// HttpServer in this test's process, on its event loop: an answer given later, and an event
// stream whose client stops reading is dropped instead of buffered without limit.
#include "WaitUntil.h"

#include "station/HttpServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

class HttpServerTest : public QObject
{
    Q_OBJECT

    QPointer<HttpExchange> m_last;

    bool listen(HttpServer& server)
    {
        QString error;
        HttpServerLimits limits;
        limits.idleTimeoutSeconds = 1;
        return server.listen(QHostAddress::LocalHost, 0, limits, {}, {}, &error);
    }

private slots:
    void answerGivenLater()
    {
        HttpServer server([this](HttpExchange& exchange) { m_last = &exchange; });
        QVERIFY(listen(server));
        QTcpSocket client;
        QByteArray received;
        connect(&client, &QTcpSocket::readyRead, this, [&] { received += client.readAll(); });
        client.connectToHost(QHostAddress::LocalHost, server.port());
        client.write("GET /x HTTP/1.1\r\nHost: a\r\n\r\n");
        QVERIFY(waitUntil([&] { return !m_last.isNull(); }, 5000));
        QTest::qWait(100);
        QVERIFY(received.isEmpty());
        m_last->respond(HttpResponse::json(200, {{u"late"_s, true}}));
        QVERIFY(waitUntil([&] { return received.contains("{\"late\":true}"); }, 5000));
        QVERIFY(received.startsWith("HTTP/1.1 200"));
        QVERIFY(received.contains("X-Content-Type-Options: nosniff"));
    }

    void slowStreamClientIsDropped()
    {
        HttpServer server([this](HttpExchange& exchange) {
            m_last = &exchange;
            exchange.startEventStream(256 * 1024);
        });
        QVERIFY(listen(server));
        QTcpSocket client;
        client.setReadBufferSize(1); // takes one byte, then reads nothing more
        client.connectToHost(QHostAddress::LocalHost, server.port());
        client.write("GET /events HTTP/1.1\r\nHost: a\r\n\r\n");
        QVERIFY(waitUntil([&] { return !m_last.isNull(); }, 5000));

        const QByteArray event = "data: " + QByteArray(4096, 'x') + "\n\n";
        qint64 pushed = 0;
        QVERIFY(waitUntil(
            [&] {
                for (int i = 0; i < 64; ++i) {
                    if (!m_last || !m_last->push(event))
                        return true;
                    pushed += event.size();
                }
                return false;
            },
            60000));
        // Whatever the kernel's buffers took, the station's own queue stayed within its bound,
        // and the connection closes soon after.
        QVERIFY2(pushed < 256LL * 1024 * 1024, qPrintable(QString::number(pushed)));
        QVERIFY(waitUntil([&] { return m_last.isNull(); }, 10000));
        // Reading again, the client finds the end of what was sent, then the close.
        client.setReadBufferSize(0);
        connect(&client, &QTcpSocket::readyRead, this, [&] { client.readAll(); });
        client.readAll();
        QVERIFY(waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }, 10000));
    }
};

QTEST_GUILESS_MAIN(HttpServerTest)
#include "tst_http_server.moc"
