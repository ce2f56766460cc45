// What the history keeps of an update, the same for every front end: each way an update can end as
// its row says it, the station's run and stored file, and a run's updates through RunRecorder, with
// an interrupt, and retries. Against SQLite and the PostgreSQL server of the history tests' fixture.
#include "HexFile.h"
#include "SimulatedUnits.h"
#include "TestHistories.h"
#include "WaitUntil.h"

#include "engine/UpdateRequest.h"
#include "engine/UpdateResult.h"
#include "fleet/RunRecorder.h"
#include "fleet/UpdateRunner.h"
#include "history/HistoryReader.h"
#include "history/UpdateHistory.h"
#include "history/UpdateRecorder.h"
#include "settings/ProductVariant.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTest>

#include <memory>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

// The log lines each unit's updates told, as a front end would show them.
struct LogLines : RunObserver
{
    QHash<QString, QStringList> lines;
    void logLine(const UnitRun& unit, const QString& text, bool) override { lines[unit.label] << text; }
};

// The attempts a run retried and the updates it finished.
struct Attempts : LogLines
{
    QStringList retries, finished;
    void retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay) override
    {
        retries << u"%1 %2 %3 %4"_s.arg(unit.label, outcomeName(unit.lastResult->outcome))
                       .arg(unit.attempt)
                       .arg(delay.count());
    }
    void updateFinished(const UnitRun& unit) override
    {
        finished << unit.outcome() + u' ' + unit.lastResult->reason;
    }
};

QString logOf(const HistoryLocation& location, qint64 id)
{
    const HistoryRow row = HistoryReader::byId(location, id);
    return row.record ? row.record->log : u"<no row %1>"_s.arg(id);
}

} // namespace

class RecordingTest : public QObject
{
    Q_OBJECT

    TestHistories m_histories;
    QTemporaryDir m_dir;
    QString m_firmware;
    QByteArray m_contents;
    QString m_sha256;

    UpdateRequest request(const QString& host, quint16 port) const
    {
        UpdateRequest r;
        r.host = host;
        r.port = port;
        r.firmwarePath = m_firmware;
        r.product = ProductVariants::named(u"Marlin"_s);
        r.timings.scale = 0.02;
        return r;
    }

    // Runs the plan to its end (interrupting it once `interruptWhen` holds) and closes the history.
    static bool run(UpdateRunner::Plan plan, UpdateHistory& history, LogLines& lines,
                    const std::function<bool()>& interruptWhen = {})
    {
        UpdateRunner runner(std::move(plan));
        RunRecorder recorder(runner, UpdateRecorder(&history, u"cli"_s));
        runner.addObserver(&lines);
        runner.addObserver(&recorder);
        bool finished = false;
        QObject::connect(&runner, &UpdateRunner::allFinished, &runner, [&] { finished = true; });
        runner.start();
        if (interruptWhen) {
            if (!waitUntil(interruptWhen, 20000))
                return false;
            runner.interrupt();
        }
        return waitUntil([&] { return finished; }, 30000) && history.close(20000);
    }

private slots:
    void initTestCase_data() { TestHistories::addBackends(); }

    void initTestCase()
    {
        m_contents = HexFile::join(HexFile::plain(40));
        m_firmware = m_dir.filePath(u"recorded.hex"_s);
        QFile file(m_firmware);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(m_contents);
        file.close();
        m_sha256 =
            QString::fromLatin1(QCryptographicHash::hash(m_contents, QCryptographicHash::Sha256).toHex());
    }

    // Every outcome an update can have, each through the recorder the way a front end hands it over,
    // and read back as its row.
    void everyOutcomeAsItsRowSaysIt()
    {
        HISTORY_LOCATION(m_histories, location);
        struct Case
        {
            UpdateOutcome outcome;
            bool interrupted;
            QString name;
        };
        std::vector<Case> cases;
        for (int o = int(UpdateOutcome::Succeeded); o <= int(UpdateOutcome::Cancelled); ++o)
            cases.push_back({UpdateOutcome(o), false, outcomeName(UpdateOutcome(o))});
        cases.push_back({UpdateOutcome::Cancelled, true, u"interrupted"_s});
        QCOMPARE(cases.size(), size_t(13));

        UpdateHistory history;
        history.open(location);
        UpdateRecorder recorder(&history, u"window"_s);
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            const HistoryHandle handle = recorder.begin(request(u" 10.0.4.20 "_s, quint16(2300 + i)));
            QVERIFY(handle != 0);
            recorder.line(handle, u"Connecting to 10.0.4.20"_s, false);
            recorder.line(handle, u"To Unit FE 55 AA"_s, true);
            recorder.recordsSent(handle, 3);
            UpdateResult result;
            result.outcome = c.outcome;
            result.refusalCode = c.outcome == UpdateOutcome::Refused ? 0x02 : 0;
            result.reason =
                c.outcome == UpdateOutcome::Succeeded ? QString() : u"Why %1 ended."_s.arg(c.name);
            result.elapsed = std::chrono::milliseconds(1500 + qint64(i));
            result.recordsSent = qint64(i);
            result.recordsToSend = 41;
            result.sha256 = m_sha256;
            recorder.finish(handle, result, c.interrupted);
        }
        QVERIFY(history.close(20000));

        const QList<UpdateRecord> rows = TestHistories::allRows(location);
        QCOMPARE(rows.size(), qsizetype(cases.size()));
        for (const UpdateRecord& row : rows) {
            const size_t i = size_t(row.unitPort - 2300);
            QVERIFY(i < cases.size());
            const Case& c = cases[i];
            QCOMPARE(row.outcome, c.name);
            QCOMPARE(row.refusalCode, c.outcome == UpdateOutcome::Refused ? u"02"_s : QString());
            QCOMPARE(row.reason.isEmpty(), c.outcome == UpdateOutcome::Succeeded);
            QCOMPARE(row.recordsSent, qint64(i));
            QCOMPARE(row.recordsTotal, 41);
            QCOMPARE(row.elapsedSeconds, (1500 + double(i)) / 1000);
            QVERIFY(row.ended.isValid() && row.ended >= row.started);
            QCOMPARE(row.frontend, u"window"_s);
            QCOMPARE(row.unitHost, u"10.0.4.20"_s);
            QCOMPARE(row.product, u"Marlin"_s);
            QCOMPARE(row.fileName, u"recorded.hex"_s);
            QCOMPARE(row.filePath, m_firmware);
            QCOMPARE(row.fileSize, m_contents.size()); // read by the history itself
            QCOMPARE(row.sha256, m_sha256);
            QVERIFY(row.runId.isEmpty());
        }
        QCOMPARE(logOf(location, rows.first().id), u"Connecting to 10.0.4.20\nTo Unit FE 55 AA"_s);
    }

    // The station's row: its run, and the stored file as it was uploaded; a file changed since its
    // check keeps the SHA-256 the unit began to get.
    void storedFirmwareAndRun()
    {
        HISTORY_LOCATION(m_histories, location);
        UpdateHistory history;
        history.open(location);
        UpdateRecorder recorder(&history, u"station"_s);
        UpdateRequest stored = request(u"fd00::5"_s, 23);
        stored.firmwarePath = m_dir.filePath(m_sha256 + u".hex"_s);
        const QString other = u"ab"_s.repeated(32);
        const HistoryHandle handle = recorder.begin(
            stored, {u"3fa2c61b90de"_s, u"40-1187"_s, u"WO 5521"_s, u"fixture-3"_s, 2, u"line3"_s},
            {u"plain.hex"_s, 1234, other, 41, {}});
        UpdateResult result;
        result.outcome = UpdateOutcome::FileChanged;
        result.reason = u"The firmware file changed during the update."_s;
        result.recordsSent = 40;
        recorder.finish(handle, result);
        QVERIFY(history.close(20000));

        const QList<UpdateRecord> rows = TestHistories::allRows(location);
        QCOMPARE(rows.size(), 1);
        const UpdateRecord& row = rows.first();
        QCOMPARE(row.frontend, u"station"_s);
        QCOMPARE(row.runId, u"3fa2c61b90de"_s);
        QCOMPARE(row.unitHost, u"fd00::5"_s);
        QCOMPARE(row.fileName, u"plain.hex"_s);
        QCOMPARE(row.fileSize, 1234);
        QCOMPARE(row.sha256, other);
        QCOMPARE(row.recordsTotal, 41);
        QCOMPARE(row.outcome, u"file-changed"_s);
        QCOMPARE(QStringList({row.serial, row.lot, row.fixture, row.startedBy}),
                 QStringList({u"40-1187"_s, u"WO 5521"_s, u"fixture-3"_s, u"line3"_s}));
        QCOMPARE(row.attempt, 2);

        UpdateRecorder none(nullptr, u"window"_s);
        QCOMPARE(none.begin(stored), HistoryHandle(0));
    }

    // A run's updates through RunRecorder: a row for each update that started, with the lines the
    // run told; an interrupt ends the update under way as interrupted, and the unit still waiting
    // for its turn started none, so it has no row.
    void aRunRecordsEachUpdateItStarted()
    {
        HISTORY_LOCATION(m_histories, location);
        auto good = SimulatedUnits::listening();
        auto refusing = SimulatedUnits::listening(u"refuse:02@5"_s);
        const quint16 gone = SimulatedUnits::closedPort();
        UpdateRunner::Plan plan;
        plan.units = {{{u"127.0.0.1"_s, good->port()}, u"S-1"_s, {}},
                      {{u"127.0.0.1"_s, refusing->port()}, u"S-2"_s, {}},
                      {{u"127.0.0.1"_s, gone}, {}, {}}};
        plan.lot = u"5521"_s;
        plan.request = request({}, 0);
        UpdateHistory history;
        history.open(location);
        LogLines lines;
        QVERIFY(run(plan, history, lines));

        QMap<int, UpdateRecord> byPort;
        for (const UpdateRecord& row : TestHistories::allRows(location))
            byPort[row.unitPort] = row;
        QCOMPARE(byPort.size(), 3);
        QCOMPARE(byPort.value(good->port()).outcome, u"succeeded"_s);
        QCOMPARE(byPort.value(good->port()).recordsSent, 41);
        QCOMPARE(byPort.value(refusing->port()).outcome, u"refused"_s);
        QCOMPARE(byPort.value(refusing->port()).refusalCode, u"02"_s);
        QCOMPARE(byPort.value(gone).outcome, u"no-connection"_s);
        QCOMPARE(byPort.value(refusing->port()).serial, u"S-2"_s);
        QCOMPARE(byPort.value(gone).serial, QString());
        for (const UpdateRecord& row : std::as_const(byPort)) {
            QCOMPARE(row.frontend, u"cli"_s);
            QCOMPARE(row.recordsTotal, 41);
            QCOMPARE(row.lot, u"5521"_s);
            QCOMPARE(row.attempt, 1);
            QCOMPARE(logOf(location, row.id),
                     lines.lines.value(u"127.0.0.1:%1"_s.arg(row.unitPort)).join(u'\n'));
        }

        // One at a time, interrupted while the first unit's records go out.
        auto slow = SimulatedUnits::listening();
        slow->setLatencyMs(20);
        auto waiting = SimulatedUnits::listening();
        plan.units = {{{u"127.0.0.1"_s, slow->port()}, {}, {}}, {{u"127.0.0.1"_s, waiting->port()}, {}, {}}};
        plan.parallel = 1;
        const HistoryLocation second = m_histories.fresh(backend);
        UpdateHistory interrupted;
        interrupted.open(second);
        QVERIFY(
            run(plan, interrupted, lines, [&] { return slow->report().cumulative().recordsAccepted >= 5; }));
        const QList<UpdateRecord> rows = TestHistories::allRows(second);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().unitPort, slow->port());
        QCOMPARE(rows.first().outcome, u"interrupted"_s);
        QCOMPARE(rows.first().reason, u"Interrupted while sending."_s);
        QVERIFY(rows.first().recordsSent >= 5 && rows.first().recordsSent < 41);
        QVERIFY(rows.first().ended.isValid());
        QCOMPARE(waiting->report().connections.size(), 0);
    }

    // Network faults are tried again, each attempt a row of its own; a refusal never is, and an
    // interrupt during the wait before the next attempt ends the update there.
    void retriesOfNetworkFaultsOnly()
    {
        HISTORY_LOCATION(m_histories, location);
        auto dropsOnce = SimulatedUnits::listening(u"drop@3#1"_s);
        auto refusing = SimulatedUnits::listening(u"refuse:02@5"_s);
        UpdateRunner::Plan plan;
        plan.units = {{{u"127.0.0.1"_s, dropsOnce->port()}, u"S-1"_s, {}},
                      {{u"127.0.0.1"_s, refusing->port()}, u"S-2"_s, {}}};
        plan.lot = u"5521"_s;
        plan.retries = 2;
        plan.request = request({}, 0);
        UpdateHistory history;
        history.open(location);
        Attempts attempts;
        QVERIFY(run(plan, history, attempts));

        QCOMPARE(attempts.retries,
                 QStringList{u"127.0.0.1:%1 connection-lost 1 1000"_s.arg(dropsOnce->port())});
        QCOMPARE(attempts.finished.size(), 2);
        QStringList rows;
        for (const UpdateRecord& row : TestHistories::allRows(location))
            rows << u"%1 %2 %3 %4 %5"_s
                        .arg(row.unitPort == dropsOnce->port() ? u"drops"_s : u"refuses"_s, row.outcome,
                             row.serial, row.lot)
                        .arg(row.attempt);
        rows.sort();
        const QStringList expected{u"drops connection-lost S-1 5521 1"_s, u"drops succeeded S-1 5521 2"_s,
                                   u"refuses refused S-2 5521 1"_s};
        QCOMPARE(rows, expected);
        QCOMPARE(dropsOnce->report().connections.size(), 2);
        QCOMPARE(refusing->report().connections.size(), 1);

        // Nothing answers: interrupted while waiting for the second attempt (a second of real time).
        plan.units = {{{u"127.0.0.1"_s, SimulatedUnits::closedPort()}, {}, {}}};
        plan.request.timings.scale = 1;
        plan.request.timings.connectLimit = std::chrono::milliseconds(200);
        const HistoryLocation second = m_histories.fresh(backend);
        UpdateHistory interrupted;
        interrupted.open(second);
        Attempts waiting;
        QVERIFY(run(plan, interrupted, waiting, [&] { return !waiting.retries.isEmpty(); }));
        QCOMPARE(waiting.finished, QStringList{u"interrupted Interrupted before attempt 2."_s});
        QCOMPARE(TestHistories::allRows(second).size(), 1);
        QCOMPARE(TestHistories::allRows(second).first().outcome, u"no-connection"_s);
    }
};

QTEST_GUILESS_MAIN(RecordingTest)
#include "tst_recording.moc"
