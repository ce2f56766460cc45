// uploader-cli as a process: many units at once, interrupts, repeats, usage errors and its output,
// against simulated units served by this test's event loop on 127.0.0.1.
#include "CliProcess.h"
#include "HexFile.h"
#include "JobFixture.h"
#include "ReleaseKeys.h"
#include "SimulatedUnits.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;

using SimulatedUnits::address;
using unitsim::SimulatedUnit;

namespace {

const QString Scale = QStringLiteral("0.02");

// Plain records, with one all-FF record and one boot-code record that an upload skips.
QList<QByteArray> firmwareLines(int records)
{
    QList<QByteArray> lines = HexFile::plain(records);
    lines.insert(3, HexFile::data(0x7000, QByteArray(32, char(0xFF))));
    lines.insert(6, HexFile::data(0xFC10, QByteArray(16, 'b')));
    return lines;
}

// JSON output at the tests' time scale, one --unit per simulated unit.
QStringList jsonArguments(const std::vector<std::unique_ptr<SimulatedUnit>>& units)
{
    QStringList arguments{QStringLiteral("--json"), QStringLiteral("--time-scale"), Scale};
    for (const auto& unit : units)
        arguments << QStringLiteral("--unit") << address(*unit);
    return arguments;
}

QList<QJsonObject> ofEvent(const QList<QJsonObject>& events, const QString& name)
{
    QList<QJsonObject> matching;
    for (const QJsonObject& event : events)
        if (event.value(QStringLiteral("event")).toString() == name)
            matching << event;
    return matching;
}

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString writeFile(const QString& name, const QByteArray& contents)
    {
        QFile file(m_dir.filePath(name));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(contents);
        return file.fileName();
    }

private slots:
    // ---- many units ----------------------------------------------------------------------------

    void eightUnitsAtOnce()
    {
        const QList<QByteArray> lines = firmwareLines(60);
        const QString firmware = writeFile(QStringLiteral("eight.hex"), HexFile::join(lines));
        std::vector<std::unique_ptr<SimulatedUnit>> units;
        units.push_back(SimulatedUnits::listening(QStringLiteral("refuse:01@5")));
        units.push_back(SimulatedUnits::listening(QStringLiteral("silence@3")));
        units.push_back(SimulatedUnits::listening());
        units.back()->stopListening();
        for (int i = 0; i < 5; ++i)
            units.push_back(SimulatedUnits::listening());
        CliProcess cli;
        QCOMPARE(cli.run(jsonArguments(units) << firmware), 1);

        const QList<QJsonObject> events = cli.events();
        QVERIFY2(!events.isEmpty(), cli.out.constData());
        const QStringList expected{u"refused"_s,   u"no-reply"_s,  u"no-connection"_s, u"succeeded"_s,
                                   u"succeeded"_s, u"succeeded"_s, u"succeeded"_s,     u"succeeded"_s};
        for (size_t i = 0; i < units.size(); ++i) {
            const QList<QJsonObject> own = cli.eventsOf(address(*units[i]));
            const QList<QJsonObject> finished = ofEvent(own, QStringLiteral("finished"));
            QCOMPARE(finished.size(), 1);
            QCOMPARE(own.last(), finished.first());
            QCOMPARE(finished.first().value(QStringLiteral("outcome")).toString(), expected.at(qsizetype(i)));
            if (expected.at(qsizetype(i)) == QLatin1String("succeeded")) {
                const auto report = units[i]->report().cumulative();
                QVERIFY(report.imageComplete);
                QVERIFY(report.image == JobFixture::expectedImage(lines));
                QCOMPARE(finished.first().value(QStringLiteral("records")).toInt(), lines.size() - 2);
                QCOMPARE(
                    ofEvent(own, QStringLiteral("progress")).last().value(QStringLiteral("records")).toInt(),
                    lines.size() - 2);
            }
        }
        // Every finished event names the firmware by its SHA-256, as sha256sum would.
        const QString sha256 = QString::fromLatin1(
            QCryptographicHash::hash(HexFile::join(lines), QCryptographicHash::Sha256).toHex());
        for (const QJsonObject& finished : ofEvent(events, QStringLiteral("finished")))
            QCOMPARE(finished.value(QStringLiteral("sha256")).toString(), sha256);
        const QJsonObject refused =
            ofEvent(cli.eventsOf(address(*units[0])), QStringLiteral("finished")).first();
        QCOMPARE(refused.value(QStringLiteral("refusal_code")).toString(), QStringLiteral("01"));
        QVERIFY(!refused.value(QStringLiteral("reason")).toString().isEmpty());

        const QJsonObject summary = events.last();
        QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
        QCOMPARE(summary.value(QStringLiteral("exit_code")).toInt(), 1);
        QCOMPARE(
            summary.value(QStringLiteral("outcomes")).toObject().value(QStringLiteral("succeeded")).toInt(),
            5);
        QCOMPARE(summary.value(QStringLiteral("failed")).toArray().size(), 3);
    }

    // The window leaves an update stalled on the unknown reply for the operator; here it must end.
    void unknownReplyEndsTheUpdate()
    {
        const QString firmware = writeFile(QStringLiteral("stall.hex"), HexFile::join(HexFile::plain(20)));
        RawPeer peer;
        peer.answer = [](int message, const QByteArray&) {
            // Two stray bytes in front make the six-byte unknown reply long enough to be read.
            return message < 3 ? QByteArray::fromHex("fd55aa0000000000")
                               : QByteArray::fromHex("1234fd55aaff0000");
        };
        CliProcess cli;
        QCOMPARE(
            cli.run({QStringLiteral("--json"), QStringLiteral("--time-scale"), Scale,
                     QStringLiteral("--unit"), QStringLiteral("127.0.0.1:%1").arg(peer.port()), firmware}),
            1);
        const QList<QJsonObject> finished = ofEvent(cli.events(), QStringLiteral("finished"));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().value(QStringLiteral("outcome")).toString(),
                 QStringLiteral("unknown-reply"));
        QCOMPARE(peer.received.size(), 4);
        // The engine's lines, not the window's advice: there is no button or box here.
        const QList<QJsonObject> logs = ofEvent(cli.events(), QStringLiteral("log"));
        QVERIFY(!logs.isEmpty());
        for (const QJsonObject& log : logs) {
            const QString text = log.value(QStringLiteral("text")).toString();
            QVERIFY2(!text.contains(u"Load and Start"_s) && !text.contains(u"Address box"_s),
                     qPrintable(text));
        }
        QVERIFY(waitUntil([&] { return peer.socket->state() == QAbstractSocket::UnconnectedState; }, 5000));
    }

    // A peer that floods one update ends it by itself; the other units go on as usual.
    void floodEndsOnlyThatUpdate()
    {
        const QList<QByteArray> lines = firmwareLines(40);
        const QString firmware = writeFile(QStringLiteral("flood.hex"), HexFile::join(lines));
        std::vector<std::unique_ptr<SimulatedUnit>> units;
        units.push_back(SimulatedUnits::listening(QStringLiteral("flood-header:0@3")));
        units.push_back(SimulatedUnits::listening(QStringLiteral("flood-stray:0@5")));
        units.push_back(SimulatedUnits::listening());
        CliProcess cli;
        QCOMPARE(cli.run(jsonArguments(units) << firmware), 1);
        const QStringList expected{u"too-much-data"_s, u"too-much-data"_s, u"succeeded"_s};
        for (size_t i = 0; i < units.size(); ++i) {
            const QList<QJsonObject> finished =
                ofEvent(cli.eventsOf(address(*units[i])), QStringLiteral("finished"));
            QCOMPARE(finished.size(), 1);
            QCOMPARE(finished.first().value(QStringLiteral("outcome")).toString(), expected.at(qsizetype(i)));
        }
        QVERIFY(units[2]->report().cumulative().image == JobFixture::expectedImage(lines));
        QVERIFY(!units[0]->report().connections.at(0).open);
    }

    void repeat_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("outcomes");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("keepGoing");
        QTest::newRow("three complete")
            << QString() << QStringList{u"succeeded"_s, u"succeeded"_s, u"succeeded"_s} << 0 << false;
        QTest::newRow("second refused")
            << QStringLiteral("refuse:02@4#2") << QStringList{u"succeeded"_s, u"refused"_s} << 1 << false;
        QTest::newRow("second refused, --keep-going")
            << QStringLiteral("refuse:02@4#2") << QStringList{u"succeeded"_s, u"refused"_s, u"succeeded"_s}
            << 1 << true;
    }

    // Each update gets its own started..finished; a unit stops at its first failure.
    void repeat()
    {
        QFETCH(QString, fault);
        QFETCH(QStringList, outcomes);
        QFETCH(int, exitCode);
        QFETCH(bool, keepGoing);
        const QList<QByteArray> lines = HexFile::plain(25);
        const QString firmware = writeFile(QStringLiteral("repeat.hex"), HexFile::join(lines));
        auto unit = SimulatedUnits::listening(fault);
        CliProcess cli;
        QStringList arguments{QStringLiteral("--json"),
                              QStringLiteral("--repeat"),
                              QStringLiteral("3"),
                              QStringLiteral("--time-scale"),
                              Scale,
                              QStringLiteral("--unit"),
                              address(*unit),
                              firmware};
        if (keepGoing)
            arguments.prepend(QStringLiteral("--keep-going"));
        QCOMPARE(cli.run(arguments), exitCode);
        const QList<QJsonObject> own = cli.eventsOf(address(*unit));
        const QList<QJsonObject> started = ofEvent(own, QStringLiteral("started"));
        const QList<QJsonObject> finished = ofEvent(own, QStringLiteral("finished"));
        QCOMPARE(started.size(), outcomes.size());
        QCOMPARE(finished.size(), outcomes.size());
        for (qsizetype i = 0; i < outcomes.size(); ++i) {
            QCOMPARE(started.at(i).value(QStringLiteral("update")).toInt(), int(i + 1));
            QCOMPARE(finished.at(i).value(QStringLiteral("update")).toInt(), int(i + 1));
            QCOMPARE(finished.at(i).value(QStringLiteral("outcome")).toString(), outcomes.at(i));
        }
        const auto& connections = unit->report().connections;
        QCOMPARE(connections.size(), outcomes.size());
        for (qsizetype i = 0; i < outcomes.size(); ++i)
            if (outcomes.at(i) == QLatin1String("succeeded"))
                QVERIFY(connections.at(i).imageComplete &&
                        connections.at(i).image == JobFixture::expectedImage(lines));
    }

    // A unit that ends each reply with CR LF takes a file of any length.
    void unitEndingRepliesWithCrLf()
    {
        const QList<QByteArray> lines = HexFile::plain(4000);
        const QString firmware = writeFile(QStringLiteral("crlf.hex"), HexFile::join(lines));
        std::vector<std::unique_ptr<SimulatedUnit>> units;
        units.push_back(SimulatedUnits::listening(QStringLiteral("suffix:0D0A@0")));
        CliProcess cli;
        QCOMPARE(cli.run(jsonArguments(units) << firmware), 0);
        QVERIFY(units[0]->report().cumulative().image == JobFixture::expectedImage(lines));
    }

    // A build that rewrites the file while it is sent: the unit never gets the end-of-file record.
    void fileRewrittenWhileSent()
    {
        const QString firmware =
            writeFile(QStringLiteral("rewritten.hex"), HexFile::join(HexFile::plain(3000)));
        QList<QByteArray> other = HexFile::plain(3000);
        other[2800] = HexFile::data(0xAF00, QByteArray(16, 'q'));
        auto unit = SimulatedUnits::listening();
        unit->setLatencyMs(2);
        CliProcess cli;
        cli.start(QStringList{u"--json"_s, u"--time-scale"_s, Scale, u"--unit"_s, address(*unit), firmware});
        QVERIFY(waitUntil([&] { return unit->report().cumulative().recordsAccepted > 100; }, 20000));
        writeFile(QStringLiteral("rewritten.hex"), HexFile::join(other)); // in place, as cp does
        QVERIFY(cli.waitForExit(60000));
        QCOMPARE(cli.process.exitCode(), 1);
        const QList<QJsonObject> finished = ofEvent(cli.events(), QStringLiteral("finished"));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().value(QStringLiteral("outcome")).toString(),
                 QStringLiteral("file-changed"));
        QVERIFY(!unit->report().cumulative().imageComplete);
    }

    // --expect-sha256, and a checksum file beside the firmware: a file that is not the one
    // expected reaches no unit, and the message names both hashes.
    void wrongFirmwareReachesNoUnit_data()
    {
        QTest::addColumn<bool>("sidecar");
        QTest::newRow("--expect-sha256") << false;
        QTest::newRow("FILE.sha256 beside it") << true;
    }

    void wrongFirmwareReachesNoUnit()
    {
        QFETCH(bool, sidecar);
        const QByteArray contents = HexFile::join(HexFile::plain(10));
        const QString actual =
            QString::fromLatin1(QCryptographicHash::hash(contents, QCryptographicHash::Sha256).toHex());
        const QString expected = QString(64, u'0');
        const QString name = sidecar ? u"released.hex"_s : u"expected.hex"_s;
        const QString firmware = writeFile(name, contents);
        auto unit = SimulatedUnits::listening();
        QStringList arguments{u"--time-scale"_s, Scale, u"--unit"_s, address(*unit), firmware};
        if (sidecar)
            writeFile(name + u".sha256"_s, (expected + u"  "_s + name + u'\n').toUtf8());
        else
            arguments << u"--expect-sha256"_s << expected.toUpper();
        CliProcess cli;
        QCOMPARE(cli.run(arguments), 3);
        QTest::qWait(50);
        QVERIFY(unit->report().connections.isEmpty());
        const QString err = QString::fromUtf8(cli.err);
        QVERIFY2(err.contains(actual) && err.contains(expected), qPrintable(err));

        // The right hash passes, and the file goes out.
        if (sidecar)
            writeFile(name + u".sha256"_s, (actual + u"  "_s + name + u'\n').toUtf8());
        else
            arguments.last() = actual;
        CliProcess again;
        QCOMPARE(again.run(arguments), 0);
        QVERIFY(unit->report().cumulative().imageComplete);
    }

    // --allowed-signers: a file signed by a release key goes out with its signer in the summary,
    // the finished events and the history; any other is refused before a unit is contacted.
    void releasedFirmwareOnly_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("nameSpace");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<QString>("reason");
        QTest::newRow("signed") << u"release"_s << u"firmware"_s << false << QString();
        QTest::newRow("unsigned") << QString() << QString() << false << u"no signature"_s;
        QTest::newRow("changed") << u"release"_s << u"firmware"_s << true << u"does not match"_s;
        QTest::newRow("unknown key") << u"stranger"_s << u"firmware"_s << false << u"not in the allowed"_s;
        QTest::newRow("namespace") << u"release"_s << u"file"_s << false << u"namespace"_s;
        QTest::newRow("revoked") << u"retired"_s << u"firmware"_s << false << u"revoked"_s;
    }

    void releasedFirmwareOnly()
    {
        QFETCH(QString, key);
        QFETCH(QString, nameSpace);
        QFETCH(bool, changed);
        QFETCH(QString, reason);
        static const ReleaseKeys keys;
        QVERIFY(keys.isValid());
        const QByteArray contents = HexFile::join(HexFile::plain(10));
        const QString firmware = writeFile(u"release.hex"_s, contents);
        const QString signature = m_dir.filePath(u"release.sig"_s);
        QFile::remove(signature);
        if (!key.isEmpty())
            QVERIFY(keys.sign(firmware, key, nameSpace, signature));
        if (changed)
            writeFile(u"release.hex"_s, ReleaseKeys::withOneByteChanged(contents));
        auto unit = SimulatedUnits::listening();
        const QString history = u"sqlite://"_s + m_dir.filePath(u"signed.sqlite"_s);
        const QStringList trust{u"--allowed-signers"_s, keys.allowedSigners(), u"--revoked-keys"_s,
                                keys.revokedKeys(),     u"--signature"_s,      signature};
        CliProcess cli;
        const int exit =
            cli.run(jsonArguments({}) +
                    QStringList{u"--unit"_s, address(*unit), u"--history"_s, history, firmware} + trust);
        if (!reason.isEmpty()) {
            QCOMPARE(exit, 3);
            const QString err = QString::fromUtf8(cli.err).trimmed();
            QVERIFY2(err.contains(reason) && !err.contains(u'\n'), qPrintable(err));
            QTest::qWait(50);
            QVERIFY(unit->report().connections.isEmpty());
            return;
        }
        QCOMPARE(exit, 0);
        QVERIFY(unit->report().cumulative().imageComplete);
        const QList<QJsonObject> finished = ofEvent(cli.events(), u"finished"_s);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().value(u"signer"_s).toString(), ReleaseKeys::Release);

        CliProcess check;
        QCOMPARE(check.run(QStringList{u"--check"_s, firmware} + trust), 0);
        QVERIFY(check.out.contains("Signed by: release@example.com"));
        for (const auto& [signer, rows] : {std::pair{ReleaseKeys::Release, 1}, std::pair{u"nobody"_s, 0}}) {
            CliProcess list;
            QCOMPARE(list.run({u"history"_s, u"--history"_s, history, u"--json"_s, u"--signer"_s, signer}),
                     0);
            QCOMPARE(list.events().size(), rows);
            if (rows)
                QCOMPARE(list.events().first().value(u"signer"_s).toString(), ReleaseKeys::Release);
        }
    }

    // The installed program takes no option that changes how long it waits for a unit.
    void shippedProgramHasNoTimeScale()
    {
        const QString firmware = writeFile(QStringLiteral("shipped.hex"), HexFile::join(HexFile::plain(2)));
        auto unit = SimulatedUnits::listening();
        CliProcess cli(CliProcess::Build::Shipped);
        QCOMPARE(cli.run({u"--time-scale"_s, u"0.01"_s, u"--unit"_s, address(*unit), firmware}), 2);
        QVERIFY2(cli.err.contains("Unknown option 'time-scale'"), cli.err.constData());
        QTest::qWait(50);
        QVERIFY(unit->report().connections.isEmpty());
    }

    // A file name with an escape sequence in it never reaches the terminal raw.
    void namesWithControlCharactersAreEscaped()
    {
        CliProcess cli;
        const QString path = m_dir.filePath(u"evil\x1b[2J.hex"_s);
        QCOMPARE(cli.run({u"--check"_s, path}), 3);
        QVERIFY2(!cli.err.contains('\x1b'), cli.err.constData());
        QVERIFY2(cli.err.contains("evil\\033[2J.hex"), cli.err.constData());
    }

    // ---- interrupt -----------------------------------------------------------------------------

    // The second unit waits (--parallel 1) and never starts.
    void interruptMidUpload()
    {
        const QString firmware = writeFile(QStringLiteral("long.hex"), HexFile::join(HexFile::plain(4000)));
        auto busy = SimulatedUnits::listening();
        busy->setLatencyMs(2);
        auto waiting = SimulatedUnits::listening();
        CliProcess cli;
        cli.start({QStringLiteral("--json"), QStringLiteral("--parallel"), QStringLiteral("1"),
                   QStringLiteral("--time-scale"), Scale, QStringLiteral("--unit"), address(*busy),
                   QStringLiteral("--unit"), address(*waiting), firmware});
        QVERIFY(waitUntil(
            [&] {
                for (const QJsonObject& event : ofEvent(cli.events(), QStringLiteral("progress")))
                    if (event.value(QStringLiteral("records")).toInt() > 10)
                        return true;
                return false;
            },
            20000));
        ::kill(pid_t(cli.process.processId()), SIGINT);
        QVERIFY(cli.waitForExit(10000));
        QCOMPARE(cli.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(cli.process.exitCode(), 130);

        QVERIFY(waitUntil([&] { return !busy->report().connections.last().open; }, 5000));
        const qsizetype received = busy->report().cumulative().messages.size();
        QTest::qWait(300);
        QCOMPARE(busy->report().cumulative().messages.size(), received);
        QVERIFY(received < 4000);
        QVERIFY(waiting->report().connections.isEmpty());

        const QList<QJsonObject> busyFinished =
            ofEvent(cli.eventsOf(address(*busy)), QStringLiteral("finished"));
        QCOMPARE(busyFinished.size(), 1);
        QCOMPARE(busyFinished.first().value(QStringLiteral("outcome")).toString(),
                 QStringLiteral("interrupted"));
        const QList<QJsonObject> waitingEvents = cli.eventsOf(address(*waiting));
        QCOMPARE(waitingEvents.size(), 1);
        QCOMPARE(waitingEvents.first().value(QStringLiteral("outcome")).toString(),
                 QStringLiteral("interrupted"));
        const QJsonObject summary = cli.events().last();
        QCOMPARE(summary.value(QStringLiteral("exit_code")).toInt(), 130);
        QCOMPARE(
            summary.value(QStringLiteral("outcomes")).toObject().value(QStringLiteral("interrupted")).toInt(),
            2);
    }

    // ---- the firmware check --------------------------------------------------------------------

    void check_data()
    {
        QList<QByteArray> badChecksum = HexFile::plain(12);
        badChecksum[4].chop(2);
        badChecksum[4] += "00";
        QList<QByteArray> noEnd = HexFile::plain(12);
        noEnd.removeLast();
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("checkOnly");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message"); // on standard error
        QTest::newRow("good, --check") << HexFile::join(HexFile::plain(12)) << true << 0 << QString();
        QTest::newRow("bad checksum, --check") << HexFile::join(badChecksum) << true << 3 << "line 5";
        QTest::newRow("bad checksum, update") << HexFile::join(badChecksum) << false << 3 << "line 5";
        QTest::newRow("no end-of-file record, update") << HexFile::join(noEnd) << false << 3 << "check.hex";
    }

    // A file that fails the check reaches no unit; --check connects to nothing either way.
    void check()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, checkOnly);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const QString firmware = writeFile(QStringLiteral("check.hex"), contents);
        auto unit = SimulatedUnits::listening();
        QStringList arguments{QStringLiteral("--time-scale"), Scale, QStringLiteral("--unit"), address(*unit),
                              firmware};
        if (checkOnly)
            arguments.prepend(QStringLiteral("--check"));
        CliProcess cli;
        QCOMPARE(cli.run(arguments), exitCode);
        QTest::qWait(50);
        QVERIFY(unit->report().connections.isEmpty());
        const QString err = QString::fromUtf8(cli.err);
        if (exitCode == 0) {
            QVERIFY(err.isEmpty());
            QVERIFY2(cli.out.startsWith("Firmware check: 13 records, 13 to send"), cli.out.constData());
            return;
        }
        QVERIFY(cli.out.isEmpty());
        QCOMPARE(err.count(u'\n'), 1);
        QVERIFY2(err.contains(message), qPrintable(err));
    }

    // ---- usage errors and output ---------------------------------------------------------------

    void usageErrors_data()
    {
        const QString firmware = writeFile(QStringLiteral("usage.hex"), HexFile::join(HexFile::plain(2)));
        const QString units =
            writeFile(QStringLiteral("units.txt"), "# bench 3\n127.0.0.1:2000\n\n10.0.0.7:70000\n");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option")
            << QStringList{u"--frobnicate"_s, u"--unit"_s, u"127.0.0.1"_s, firmware}
            << u"Unknown option 'frobnicate'"_s;
        QTest::newRow("port above 65535")
            << QStringList{u"--unit"_s, u"127.0.0.1:65536"_s, firmware} << u"65536"_s;
        QTest::newRow("port 0") << QStringList{u"--unit"_s, u"127.0.0.1:0"_s, firmware}
                                << u"from 1 to 65535"_s;
        QTest::newRow("bad unit-file line") << QStringList{u"--units"_s, units, firmware} << units + u":4:"_s;
        QTest::newRow("unreadable unit file")
            << QStringList{u"--units"_s, m_dir.filePath(u"none.txt"_s), firmware} << u"none.txt"_s;
        const QString serials = writeFile(QStringLiteral("serials.txt"),
                                          "127.0.0.1:2000 SN-1\n127.0.0.1:2001 " + QByteArray(65, 'S'));
        QTest::newRow("serial too long")
            << QStringList{u"--units"_s, serials, firmware} << serials + u":2: serial"_s;
        QTest::newRow("unknown product")
            << QStringList{u"--product"_s, u"Albatross"_s, u"--unit"_s, u"127.0.0.1"_s, firmware}
            << "known products: Tessera, \"Caldera 16\"";
        QTest::newRow("Tessera without port")
            << QStringList{u"--product"_s, u"tessera"_s, u"--unit"_s, u"127.0.0.1"_s, firmware}
            << u"no default port"_s;
        QTest::newRow("no unit") << QStringList{firmware} << "no unit given";
        QTest::newRow("no firmware") << QStringList{u"--unit"_s, u"127.0.0.1"_s} << u"no firmware file"_s;
        QTest::newRow("bad timeout") << QStringList{u"--reply-timeout"_s, u"nan"_s, u"--unit"_s,
                                                    u"127.0.0.1"_s, firmware}
                                     << "--reply-timeout";
        QTest::newRow("parallel 0") << QStringList{u"--parallel"_s, u"0"_s, u"--unit"_s, u"127.0.0.1"_s,
                                                   firmware}
                                    << "--parallel";
    }

    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        CliProcess cli;
        QCOMPARE(cli.run(arguments), 2);
        QVERIFY(cli.out.isEmpty());
        const QString err = QString::fromUtf8(cli.err);
        QCOMPARE(err.count(u'\n'), 1);
        QVERIFY2(err.contains(message), qPrintable(err));
    }

    // Standard output is a pipe here: plain lines and the summary, no control characters; a unit
    // named twice is updated once, with a warning.
    void plainOutput()
    {
        const QString firmware = writeFile(QStringLiteral("plain.hex"), HexFile::join(HexFile::plain(30)));
        auto good = SimulatedUnits::listening();
        auto refusing = SimulatedUnits::listening(QStringLiteral("refuse:03@2"));
        const QString units = writeFile(QStringLiteral("plain-units.txt"),
                                        (address(*refusing) + QStringLiteral("  # bench 2\n")).toUtf8());
        CliProcess cli;
        QCOMPARE(cli.run({QStringLiteral("--verbose"), QStringLiteral("--time-scale"), Scale,
                          QStringLiteral("--unit"), address(*good), QStringLiteral("--unit"), address(*good),
                          QStringLiteral("--units"), units, firmware}),
                 1);
        for (char c : cli.out)
            QVERIFY2(c == '\n' || quint8(c) >= 0x20,
                     qPrintable(QStringLiteral("control byte %1").arg(int(c))));
        const QString out = QString::fromUtf8(cli.out);
        QVERIFY(out.contains(address(*good) + QStringLiteral("  sending\n")));
        QVERIFY(out.contains(QRegularExpression(QStringLiteral("\n%1 +succeeded +31 ").arg(address(*good)))));
        QVERIFY(out.contains(QRegularExpression(QStringLiteral("\n%1 +refused ").arg(address(*refusing)))));
        QCOMPARE(good->report().connections.size(), 1);
        const QString err = QString::fromUtf8(cli.err);
        QVERIFY2(err.contains(QStringLiteral("named more than once")), qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
