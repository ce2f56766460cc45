// How a unit is named: HOST[:PORT] and [IPV6]:PORT parsed and labelled in-process, one unit under
// several spellings, and a whole update of a simulated unit listening on the IPv6 loopback.
#include "CliProcess.h"
#include "HexFile.h"
#include "SimulatedUnits.h"

#include "fleet/UnitAddress.h"
#include "fleet/UnitList.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class UnitAddressTest : public QObject
{
    Q_OBJECT

private slots:
    void accepted_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("defaultPort");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("label");
        QTest::newRow("IPv4") << u"10.0.0.7"_s << u"23"_s << u"10.0.0.7"_s << 23 << u"10.0.0.7:23"_s;
        QTest::newRow("IPv4 and port")
            << u"10.0.0.7:2000"_s << u"23"_s << u"10.0.0.7"_s << 2000 << u"10.0.0.7:2000"_s;
        QTest::newRow("name, spaces around")
            << u"  unit-7.bench  "_s << u"5000"_s << u"unit-7.bench"_s << 5000 << u"unit-7.bench:5000"_s;
        QTest::newRow("highest port")
            << u"unit:65535"_s << QString() << u"unit"_s << 65535 << u"unit:65535"_s;
        QTest::newRow("IPv6 and port") << u"[::1]:2000"_s << u"23"_s << u"::1"_s << 2000 << u"[::1]:2000"_s;
        QTest::newRow("IPv6 in brackets, default port")
            << u"[::1]"_s << u"23"_s << u"::1"_s << 23 << u"[::1]:23"_s;
        QTest::newRow("IPv6 with a zone")
            << u"[fe80::1%eth0]:23"_s << QString() << u"fe80::1%eth0"_s << 23 << u"[fe80::1%eth0]:23"_s;
        QTest::newRow("bare IPv6, default port") << u"::1"_s << u"23"_s << u"::1"_s << 23 << u"[::1]:23"_s;
        // The last group is part of the address, never a port.
        QTest::newRow("bare IPv6 ending in a number")
            << u"2001:db8::7:2000"_s << u"23"_s << u"2001:db8::7:2000"_s << 23 << u"[2001:db8::7:2000]:23"_s;
        QTest::newRow("bare IPv6, full")
            << u"2001:db8:0:0:0:0:0:7"_s << u"5000"_s << u"2001:db8:0:0:0:0:0:7"_s << 5000
            << u"[2001:db8:0:0:0:0:0:7]:5000"_s;
        QTest::newRow("IPv4-mapped IPv6") << u"[::ffff:10.0.0.7]:23"_s << QString() << u"::ffff:10.0.0.7"_s
                                          << 23 << u"[::ffff:10.0.0.7]:23"_s;
    }

    void accepted()
    {
        QFETCH(QString, text);
        QFETCH(QString, defaultPort);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, label);
        UnitAddress unit;
        QString error;
        QVERIFY2(UnitAddress::parse(text, defaultPort, &unit, &error), qPrintable(error));
        QCOMPARE(unit.host, host);
        QCOMPARE(int(unit.port), port);
        QCOMPARE(unit.label(), label);
    }

    void refused_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("defaultPort");
        QTest::addColumn<QString>("reason"); // part of the error
        QTest::newRow("no closing bracket") << u"[::1"_s << u"23"_s << u"no closing ']'"_s;
        QTest::newRow("text after the bracket") << u"[::1]x"_s << u"23"_s << u"':PORT' after ']'"_s;
        QTest::newRow("colon without port after the bracket") << u"[::1]:"_s << u"23"_s << u"no port"_s;
        QTest::newRow("empty brackets") << u"[]:23"_s << u"23"_s << u"no host"_s;
        QTest::newRow("IPv6 port out of range") << u"[::1]:65536"_s << u"23"_s << u"65536"_s;
        QTest::newRow("IPv4 in brackets") << u"[10.0.0.7]:23"_s << u"23"_s << u"IPv6"_s;
        QTest::newRow("name in brackets") << u"[unit-7]:23"_s << u"23"_s << u"IPv6"_s;
        QTest::newRow("bare IPv6 without a default port") << u"::1"_s << QString() << u"[ADDRESS]:PORT"_s;
        // Several colons and no brackets: an IPv6 address, or nothing.
        QTest::newRow("name with two ports") << u"unit:23:24"_s << u"23"_s << u"[ADDRESS]:PORT"_s;
        QTest::newRow("IPv6 with a port, no brackets")
            << u"fe80::1%eth0:23"_s << u"23"_s << u"[ADDRESS]:PORT"_s;
        QTest::newRow("closing bracket only") << u"::1]:23"_s << u"23"_s << u"[ADDRESS]:PORT"_s;
        QTest::newRow("nothing") << u"  "_s << u"23"_s << u"no host"_s;
        QTest::newRow("port only") << u":23"_s << u"23"_s << u"no host"_s;
        QTest::newRow("colon without port") << u"unit:"_s << u"23"_s << u"no port"_s;
        QTest::newRow("port 0") << u"unit:0"_s << u"23"_s << u"from 1 to 65535"_s;
        QTest::newRow("signed port") << u"unit:+23"_s << u"23"_s << u"from 1 to 65535"_s;
        QTest::newRow("no port, none by default") << u"unit"_s << QString() << u"no default port"_s;
        QTest::newRow("space in the name") << u"unit 7:23"_s << u"23"_s << u"spaces"_s;
        QTest::newRow("control character") << u"unit\u001b[2J"_s << u"23"_s << u"control"_s;
        // It would reorder the rest of every line that names the unit.
        QTest::newRow("right-to-left override") << u"unit\u202E7"_s << u"23"_s << u"control"_s;
    }

    void refused()
    {
        QFETCH(QString, text);
        QFETCH(QString, defaultPort);
        QFETCH(QString, reason);
        UnitAddress unit;
        QString error;
        QVERIFY(!UnitAddress::parse(text, defaultPort, &unit, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
    }

    void sameUnitTwice_data()
    {
        QTest::addColumn<QStringList>("spellings");
        QTest::addColumn<QString>("label"); // the first spelling's
        QTest::newRow("IPv6 with and without brackets and port")
            << QStringList{u"[::1]:23"_s, u"::1"_s, u"[::1]"_s} << u"[::1]:23"_s;
        QTest::newRow("IPv6, zeros written out")
            << QStringList{u"[::1]:23"_s, u"[0:0:0:0:0:0:0:1]:23"_s} << u"[::1]:23"_s;
        QTest::newRow("IPv6, letter case")
            << QStringList{u"[FE80::A]:23"_s, u"[fe80::a]:23"_s} << u"[FE80::A]:23"_s;
        QTest::newRow("host name, letter case")
            << QStringList{u"Unit-7.Bench"_s, u"unit-7.bench:23"_s} << u"Unit-7.Bench:23"_s;
    }

    // Updating one unit over two connections at once would mix two uploads in its flash.
    void sameUnitTwice()
    {
        QFETCH(QStringList, spellings);
        QFETCH(QString, label);
        UnitList list(u"23"_s);
        QString error;
        for (const QString& text : spellings)
            QVERIFY2(list.addArgument(text, &error), qPrintable(error));
        QCOMPARE(list.units().size(), 1);
        QCOMPARE(list.units().first().address.label(), label);
        QCOMPARE(list.warnings().size(), spellings.size() - 1);
    }

    void differentUnits()
    {
        UnitList list(u"23"_s);
        QString error;
        for (const QString& text :
             {u"[::1]:23"_s, u"[::1]:24"_s, u"[::2]:23"_s, u"10.0.0.1"_s, u"10.0.0.2"_s})
            QVERIFY2(list.addArgument(text, &error), qPrintable(error));
        QCOMPARE(list.units().size(), 5);
        QVERIFY(list.warnings().isEmpty());
    }

    // The program as built for tests, against a unit on [::1]: the label in its output and a
    // complete image in the unit.
    void updateOverIpv6Loopback()
    {
        auto unit = SimulatedUnits::listening({}, QHostAddress::LocalHostIPv6);
        if (!unit)
            QSKIP("this machine has no IPv6 loopback address (::1) to listen on");
        QTemporaryDir dir;
        const QString firmware = dir.filePath(u"v6.hex"_s);
        QFile file(firmware);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(HexFile::join(HexFile::plain(20)));
        file.close();

        const QString label = u"[::1]:%1"_s.arg(unit->port());
        CliProcess cli;
        QCOMPARE(cli.run({u"--json"_s, u"--time-scale"_s, u"0.02"_s, u"--unit"_s, label, firmware}), 0);
        const QList<QJsonObject> events = cli.eventsOf(label);
        QVERIFY2(!events.isEmpty(), cli.out.constData());
        QCOMPARE(events.last().value(u"event"_s).toString(), u"finished"_s);
        QCOMPARE(events.last().value(u"outcome"_s).toString(), u"succeeded"_s);
        QCOMPARE(unit->report().connections.size(), 1);
        QVERIFY(unit->report().cumulative().imageComplete);
    }
};

QTEST_GUILESS_MAIN(UnitAddressTest)
#include "tst_unit_address.moc"
