// A watched fixture against a simulated unit that is placed, left, taken out and placed again on
// the same port, on the test's own event loop with the waits shortened; and the fixtures file.
#include "HexFile.h"
#include "SimulatedUnits.h"
#include "WaitUntil.h"

#include "fleet/Fixture.h"
#include "fleet/FixtureFile.h"
#include "settings/ProductVariant.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr double Scale = 0.05; // 1 s of the fixture's time is 50 ms

// Connections that carried no byte to the unit: the probes.
int silentConnections(const unitsim::UnitReport& report)
{
    int silent = 0;
    for (const unitsim::ConnectionReport& connection : report.connections)
        if (connection.messages.isEmpty())
            ++silent;
    return silent;
}

bool lastUpdateComplete(const unitsim::UnitReport& report)
{
    for (auto it = report.connections.crbegin(); it != report.connections.crend(); ++it)
        if (!it->messages.isEmpty())
            return it->imageComplete;
    return false;
}

int connectionsWithData(const unitsim::UnitReport& report)
{
    return int(report.connections.size()) - silentConnections(report);
}

} // namespace

class FixtureTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_firmware;

    Fixture::Watch watchSettings(bool serialRequired = false) const
    {
        Fixture::Watch watch;
        watch.request.firmwarePath = m_firmware;
        watch.request.product = ProductVariants::named(u"Marlin"_s);
        watch.request.timings.scale = Scale;
        watch.serialRequired = serialRequired;
        return watch;
    }

    static std::unique_ptr<Fixture> fixtureAt(const unitsim::SimulatedUnit& unit)
    {
        return std::make_unique<Fixture>(FixtureEntry{u"f1"_s, {u"127.0.0.1"_s, unit.port()}},
                                         Fixture::DefaultGoneAfterMs);
    }

private slots:
    void initTestCase()
    {
        m_firmware = m_dir.filePath(u"fw.hex"_s);
        QFile file(m_firmware);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(HexFile::join(HexFile::plain(20)));
    }

    void aUnitLeftInPlaceIsUpdatedOnceAndTheNextOneAgain()
    {
        auto unit = SimulatedUnits::listening();
        QVERIFY(unit);
        auto fixture = fixtureAt(*unit);
        QList<Fixture::State> states;
        connect(fixture.get(), &Fixture::stateChanged, this, [&](Fixture::State s) { states << s; });
        fixture->watch(watchSettings());
        QVERIFY(waitUntil([&] { return fixture->state() == Fixture::State::Done; }, 10000));
        QCOMPARE(fixture->updates(), 1);
        QVERIFY(lastUpdateComplete(unit->report()));

        // 20 s of the fixture's time in place: probed about 20 times, never updated again, and no
        // probe sent it a byte.
        QTest::qWait(int(20000 * Scale));
        QCOMPARE(fixture->updates(), 1);
        QCOMPARE(fixture->state(), Fixture::State::Done);
        QCOMPARE(connectionsWithData(unit->report()), 1);
        QVERIFY2(silentConnections(unit->report()) >= 10,
                 qPrintable(QString::number(silentConnections(unit->report()))));
        QVERIFY(silentConnections(unit->report()) <= 24); // at most one probe a second

        // Taken out: empty after 3 s without an answer; placed again: a second update.
        const quint16 port = unit->port();
        unit->stopListening();
        QVERIFY(waitUntil([&] { return fixture->state() == Fixture::State::Empty; }, 5000));
        QCOMPARE(fixture->updates(), 1);
        QVERIFY(unit->listen(QHostAddress::LocalHost, port));
        QVERIFY(waitUntil([&] { return fixture->updates() == 2 && fixture->state() == Fixture::State::Done; },
                          10000));
        QCOMPARE(connectionsWithData(unit->report()), 2);
        const QList<Fixture::State> expected{Fixture::State::Empty,    Fixture::State::Updating,
                                             Fixture::State::Done,     Fixture::State::Empty,
                                             Fixture::State::Updating, Fixture::State::Done};
        QCOMPARE(states, expected);
    }

    void aFixtureWaitingForItsSerialSendsNothingUntilItComes()
    {
        auto unit = SimulatedUnits::listening();
        QVERIFY(unit);
        auto fixture = fixtureAt(*unit);
        fixture->watch(watchSettings(true));
        QVERIFY(waitUntil([&] { return fixture->state() == Fixture::State::WaitingForSerial; }, 5000));
        QTest::qWait(int(5000 * Scale));
        QCOMPARE(fixture->state(), Fixture::State::WaitingForSerial);
        QCOMPARE(connectionsWithData(unit->report()), 0);
        QVERIFY(silentConnections(unit->report()) >= 2);

        fixture->setSerial(u"40-1187"_s);
        QVERIFY(waitUntil([&] { return fixture->state() == Fixture::State::Done; }, 10000));
        QCOMPARE(fixture->serial(), u"40-1187"_s);
        QCOMPARE(connectionsWithData(unit->report()), 1);
        QVERIFY(lastUpdateComplete(unit->report()));
    }

    void aRefusalFailsAndStoppingCancelsAnUpdateUnderWay()
    {
        auto refusing = SimulatedUnits::listening(u"refuse:02@3"_s);
        QVERIFY(refusing);
        auto fixture = fixtureAt(*refusing);
        fixture->watch(watchSettings());
        QVERIFY(waitUntil([&] { return fixture->state() == Fixture::State::Failed; }, 10000));
        QCOMPARE(fixture->lastResult()->outcome, UpdateOutcome::Refused);
        QTest::qWait(int(3000 * Scale));
        QCOMPARE(fixture->updates(), 1);

        auto slow = SimulatedUnits::listening();
        QVERIFY(slow);
        slow->setLatencyMs(200);
        auto other = fixtureAt(*slow);
        other->watch(watchSettings());
        QVERIFY(waitUntil([&] { return other->state() == Fixture::State::Updating && other->records() > 0; },
                          10000));
        other->stopWatching();
        QCOMPARE(other->state(), Fixture::State::Idle);
        QVERIFY(waitUntil([&] { return other->lastResult().has_value(); }, 5000));
        QVERIFY(other->lastInterrupted());
        QTest::qWait(200);
        QCOMPARE(other->state(), Fixture::State::Idle);
        QVERIFY(!lastUpdateComplete(slow->report()));
    }

    void theFixturesFile_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::newRow("good") << u"# line 3\n\nf-1 10.0.0.3\n  f_2.b  10.0.0.4:2300  \n"_s << QString();
        QTest::newRow("one field") << u"f1 10.0.0.3\nf2\n"_s << u"line 2: expected NAME HOST[:PORT]"_s;
        QTest::newRow("bad name") << u"\nf/1 10.0.0.3\n"_s << u"line 2: "_s;
        QTest::newRow("long name") << (QString(33, u'a') + u" h"_s) << u"line 1: "_s;
        QTest::newRow("bad port") << u"f1 h:99999\n"_s << u"line 1: "_s;
        QTest::newRow("name twice") << u"f1 a\nf1 b\n"_s << u"line 2: "_s;
        QTest::newRow("address twice") << u"f1 a:23\nf2 a\n"_s << u"line 2: "_s;
    }

    void theFixturesFile()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        QList<FixtureEntry> fixtures;
        QString reason;
        QCOMPARE(FixtureFile::parse(text, u"23"_s, &fixtures, &reason), error.isEmpty());
        QVERIFY2(reason.startsWith(error), qPrintable(reason));
        if (error.isEmpty()) {
            QCOMPARE(fixtures.size(), 2);
            QCOMPARE(fixtures.at(0).address.label(), u"10.0.0.3:23"_s);
            QCOMPARE(fixtures.at(1).name, u"f_2.b"_s);
            QCOMPARE(fixtures.at(1).address.port, 2300);
        }
    }
};

QTEST_GUILESS_MAIN(FixtureTest)
#include "tst_fixture.moc"
