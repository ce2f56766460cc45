// The station's fixtures as a process against simulated units: the fixtures file, watching,
// serials, and every update a fixture starts recorded in the history and posted to a webhook.
#include "HexFile.h"
#include "HookReceiver.h"
#include "SimulatedUnits.h"
#include "StationProcess.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class StationFixturesTest : public QObject
{
    Q_OBJECT

    const QByteArray m_firmware = HexFile::join(HexFile::plain(30));
    QTemporaryDir m_dir;

    QString fixturesFile(const QString& text)
    {
        const QString path = m_dir.filePath(u"fixtures-%1"_s.arg(qHash(text)));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(text.toUtf8());
        return path;
    }

    static QJsonObject fixture(StationProcess& station, const QString& name)
    {
        for (const QJsonValue value :
             station.get(u"/api/v1/fixtures"_s).json().value(u"fixtures"_s).toArray())
            if (value.toObject().value(u"name"_s).toString() == name)
                return value.toObject();
        return {};
    }

    static bool waitForState(StationProcess& station, const QString& name, const QString& state)
    {
        return waitUntil([&] { return fixture(station, name).value(u"state"_s).toString() == state; }, 15000);
    }

private slots:
    void aBadLineStopsTheStart()
    {
        StationProcess station;
        QVERIFY(
            !station.start({u"--fixtures"_s, fixturesFile(u"f1 127.0.0.1:2300\nf/2 127.0.0.1:2301\n"_s)}));
        QVERIFY(waitUntil([&] { return station.process.state() == QProcess::NotRunning; }, 5000));
        QCOMPARE(station.process.exitCode(), 2);
        QVERIFY2(station.err.contains("line 2"), station.err.constData());
    }

    void watchedFixturesUpdateEachUnitAndRecordIt()
    {
        auto good = SimulatedUnits::listening();
        auto refusing = SimulatedUnits::listening(u"refuse:02@4"_s);
        auto scanned = SimulatedUnits::listening();
        QVERIFY(good && refusing && scanned);
        HookReceiver receiver;
        StationProcess station;
        QVERIFY(station.start({u"--product"_s, u"Marlin"_s, u"--webhook"_s, receiver.url(), u"--fixtures"_s,
                               fixturesFile(u"f1 %1\nf2 %2\nf3 %3\n"_s.arg(
                                   SimulatedUnits::address(*good), SimulatedUnits::address(*refusing),
                                   SimulatedUnits::address(*scanned)))}));
        const QString sha256 = station
                                   .request("POST", u"/api/v1/firmware?name=line.hex"_s, m_firmware, true,
                                            "application/octet-stream")
                                   .json()
                                   .value(u"sha256"_s)
                                   .toString();
        QCOMPARE(fixture(station, u"f1"_s).value(u"state"_s).toString(), u"idle"_s);

        const QByteArray watch = "{\"firmware\": \"" + sha256.toLatin1() + "\"}";
        QCOMPARE(station.request("POST", u"/api/v1/fixtures/f1/watch"_s, watch).status, 200);
        QCOMPARE(station.request("POST", u"/api/v1/fixtures/f2/watch"_s, watch).status, 200);
        QCOMPARE(station
                     .request("POST", u"/api/v1/fixtures/f3/watch"_s,
                              "{\"firmware\": \"" + sha256.toLatin1() + "\", \"serial_required\": true}")
                     .status,
                 200);
        QVERIFY(waitForState(station, u"f1"_s, u"done"_s));
        QVERIFY(waitForState(station, u"f2"_s, u"failed"_s));
        QVERIFY(waitForState(station, u"f3"_s, u"waiting-for-serial"_s));
        const QJsonObject f1 = fixture(station, u"f1"_s);
        QCOMPARE(f1.value(u"outcome"_s).toString(), u"succeeded"_s);
        QCOMPARE(f1.value(u"records"_s).toInt(), f1.value(u"total"_s).toInt());
        QCOMPARE(f1.value(u"firmware"_s).toString(), sha256);
        QVERIFY(!fixture(station, u"f2"_s).value(u"reason"_s).toString().isEmpty());

        QCOMPARE(
            station.request("POST", u"/api/v1/fixtures/f3/serial"_s, "{\"serial\": \"bad\\u0007\"}").error(),
            u"bad-serial"_s);
        QCOMPARE(station.request("POST", u"/api/v1/fixtures/f3/serial"_s, "{\"serial\": \"40-1187\"}").status,
                 200);
        QVERIFY(waitForState(station, u"f3"_s, u"done"_s));
        QCOMPARE(fixture(station, u"f3"_s).value(u"serial"_s).toString(), u"40-1187"_s);

        // Left in place: no second update; the history has one row per update and none for probes.
        QTest::qWait(300);
        const QJsonArray rows = station.get(u"/api/v1/updates"_s).json().value(u"updates"_s).toArray();
        QCOMPARE(rows.size(), 3);
        QStringList serials;
        for (const QJsonValue row : rows)
            serials << row[u"fixture"_s].toString() + u' ' + row[u"serial"_s].toString();
        serials.sort();
        QCOMPARE(serials, (QStringList{u"f1 "_s, u"f2 "_s, u"f3 40-1187"_s}));
        // Each update posted once, with its row and no run.
        QVERIFY(waitUntil([&] { return receiver.delivered().size() == 3; }, 5000));
        QStringList posted, recorded;
        for (const HookReceiver::Request& request : receiver.delivered()) {
            const QJsonObject update = request.json();
            QVERIFY(update[u"run"_s].isNull());
            posted << update[u"fixture"_s].toString() + u' ' + update[u"outcome"_s].toString() + u' ' +
                          update[u"uuid"_s].toString();
        }
        for (const QJsonValue row : rows)
            recorded << row[u"fixture"_s].toString() + u' ' + row[u"outcome"_s].toString() + u' ' +
                            row[u"uuid"_s].toString();
        posted.sort();
        recorded.sort();
        QCOMPARE(posted, recorded);

        QCOMPARE(station.request("DELETE", u"/api/v1/firmware/"_s + sha256).error(), u"firmware-in-use"_s);
        QCOMPARE(station.request("DELETE", u"/api/v1/fixtures/f1/watch"_s).status, 200);
        QCOMPARE(fixture(station, u"f1"_s).value(u"state"_s).toString(), u"idle"_s);
        QCOMPARE(station.request("POST", u"/api/v1/fixtures/f9/watch"_s, watch).status, 404);
        QCOMPARE(station
                     .request("POST", u"/api/v1/fixtures/f1/watch"_s,
                              "{\"firmware\": \"" + QByteArray(64, 'a') + "\"}")
                     .error(),
                 u"unknown-firmware"_s);
        QCOMPARE(station
                     .request("POST", u"/api/v1/fixtures/f1/watch"_s,
                              "{\"firmware\": \"" + sha256.toLatin1() + "\", \"retries\": 99}")
                     .error(),
                 u"bad-retries"_s);
    }
};

QTEST_GUILESS_MAIN(StationFixturesTest)
#include "tst_station_fixtures.moc"
