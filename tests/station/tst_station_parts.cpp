// The station's rules on their own: which Host names it answers to, which paths and firmware
// names it takes, the token comparison, and its command line's addresses and sizes.
#include "station/HostCheck.h"
#include "station/StationApi.h"
#include "station/StationOptions.h"
#include "station/TokenFile.h"

#include <QHostInfo>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class StationPartsTest : public QObject
{
    Q_OBJECT

private slots:
    void hostNames_data()
    {
        QTest::addColumn<QString>("listen");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<bool>("allowed");
        const QString loopback = u"127.0.0.1"_s;
        QTest::newRow("listen address") << loopback << QByteArray("127.0.0.1") << true;
        QTest::newRow("with its port") << loopback << QByteArray("127.0.0.1:8470") << true;
        QTest::newRow("another port") << loopback << QByteArray("127.0.0.1:8471") << false;
        QTest::newRow("localhost") << loopback << QByteArray("LocalHost:8470") << true;
        QTest::newRow("::1") << loopback << QByteArray("[::1]:8470") << true;
        QTest::newRow("::1 written long") << loopback << QByteArray("[0:0:0:0:0:0:0:1]") << true;
        QTest::newRow("unbracketed ::1") << loopback << QByteArray("::1") << false;
        QTest::newRow("server name") << loopback << QByteArray("station.example.:8470") << true;
        QTest::newRow("foreign") << loopback << QByteArray("evil.example") << false;
        QTest::newRow("suffix") << loopback << QByteArray("127.0.0.1.evil.example") << false;
        QTest::newRow("empty") << loopback << QByteArray() << false;
        QTest::newRow("not loopback: localhost") << u"192.0.2.7"_s << QByteArray("localhost") << false;
        QTest::newRow("not loopback: own address") << u"192.0.2.7"_s << QByteArray("192.0.2.7:8470") << true;
        QTest::newRow("host name") << loopback << QHostInfo::localHostName().toUtf8() << true;
    }
    void hostNames()
    {
        QFETCH(QString, listen);
        QFETCH(QByteArray, host);
        QFETCH(bool, allowed);
        const HostCheck check(listen, QHostAddress(listen), 8470, {u"station.example"_s});
        QCOMPARE(check.allows(host), allowed);
    }

    void paths()
    {
        QVERIFY(StationApi::isSafePath(u"/"_s));
        QVERIFY(StationApi::isSafePath(u"/api/v1/runs"_s));
        QVERIFY(StationApi::isSafePath(u"/app..js"_s));
        for (const QString& bad :
             {u"/../x"_s, u"/a/.."_s, u"/a/./b"_s, u"/a\\..\\b"_s, u"/a\nb"_s, u"relative"_s})
            QVERIFY2(!StationApi::isSafePath(bad), qPrintable(bad));
    }

    void firmwareNames()
    {
        for (const QString& good : {u"fw.hex"_s, u"Marlin 2.4 (final).HEX"_s, u"a..b.hex"_s})
            QVERIFY2(StationApi::isFirmwareName(good), qPrintable(good));
        for (const QString& bad : {u".hex"_s, u"fw.bin"_s, u"dir/fw.hex"_s, u"..\\fw.hex"_s, u"f\tw.hex"_s,
                                   u"f\u202Ew.hex"_s, u".hidden.hex"_s, QString(300, u'a') + u".hex"_s})
            QVERIFY2(!StationApi::isFirmwareName(bad), qPrintable(bad));
    }

    void tokenComparison()
    {
        const QByteArray token = "00112233445566778899aabbccddeeff";
        QVERIFY(TokenFile::matches(token, token));
        QVERIFY(!TokenFile::matches(token, token.left(31)));
        QVERIFY(!TokenFile::matches(token, token + "0"));
        QVERIFY(!TokenFile::matches(token, "10112233445566778899aabbccddeeff"));
        QVERIFY(!TokenFile::matches(token, {}));
        QVERIFY(!TokenFile::matches({}, {}));
    }

    void listenAddresses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address"); // empty: refused
        QTest::addColumn<int>("port");
        QTest::newRow("v4 and port") << u"127.0.0.1:9000"_s << u"127.0.0.1"_s << 9000;
        QTest::newRow("v4 alone") << u"0.0.0.0"_s << u"0.0.0.0"_s << 8470;
        QTest::newRow("v6 in brackets") << u"[::1]:0"_s << u"::1"_s << 0;
        QTest::newRow("v6 bare") << u"::1"_s << QString() << 0;
        QTest::newRow("bad port") << u"127.0.0.1:70000"_s << QString() << 0;
        QTest::newRow("no bracket end") << u"[::1:80"_s << QString() << 0;
    }
    void listenAddresses()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QFETCH(int, port);
        StationOptions options;
        QString error;
        const bool ok = StationOptionsParser::parseListen(text, &options, &error);
        QCOMPARE(ok, !address.isEmpty());
        if (ok) {
            QCOMPARE(options.address, QHostAddress(address));
            QCOMPARE(int(options.port), port);
        } else {
            QVERIFY(error.contains(text));
        }
    }

    void sizes()
    {
        qint64 bytes = 0;
        QVERIFY(StationOptionsParser::parseSize(u"64M"_s, &bytes));
        QCOMPARE(bytes, 64LL * 1024 * 1024);
        QVERIFY(StationOptionsParser::parseSize(u"512KiB"_s, &bytes));
        QCOMPARE(bytes, 512LL * 1024);
        QVERIFY(StationOptionsParser::parseSize(u"1000"_s, &bytes));
        QCOMPARE(bytes, 1000);
        for (const QString& bad : {u"0"_s, u"-1M"_s, u"M"_s, u"1T"_s, u"99999999G"_s})
            QVERIFY2(!StationOptionsParser::parseSize(bad, &bytes), qPrintable(bad));
    }

    void tlsNeedsBoth()
    {
        StationOptions options;
        QString error;
        const StationOptionsParser parser(nullptr, u"test"_s);
        QVERIFY(!parser.parse({u"uploader-station"_s, u"--tls-cert"_s, u"c.pem"_s}, &options, &error));
        QVERIFY(error.contains(u"--tls-key"_s));
    }
};

QTEST_GUILESS_MAIN(StationPartsTest)
#include "tst_station_parts.moc"
