// The window's side of the update history: the rows its updates leave (success, no connection,
// the window closed mid-update, a file rewritten while sent), histories that cannot
// be used, the History dialog, and the window and three uploader-cli processes recording at once.
// What the window records, and the many writers, run against an SQLite file and against the
// throw-away PostgreSQL server of the history tests.
#include "HexFile.h"
#include "TestHistories.h"
#include "UiTestSupport.h"
#include "WaitUntil.h"

#include "history/HistoryFormat.h"
#include "history/HistoryReader.h"
#include "history/HistorySchema.h"
#include "settings/SettingsStore.h"
#include "ui/HistoryDialog.h"
#include "ui/HistoryTableModel.h"
#include "unitsim/Fault.h"
#include "unitsim/SimulatedUnit.h"

#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QCryptographicHash>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace UiTest;

namespace {

constexpr double Scale = 0.01;

// The rows of the history at `location` (a file's path or a URL), latest first.
QList<UpdateRecord> rowsAt(const QString& location)
{
    return TestHistories::allRows(HistoryLocation::parse(location));
}

QString sha256Of(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
}

} // namespace

// In a test with a "backend" column: the location to record into, or QSKIP when PostgreSQL is
// missing.
#define FRESH_HISTORY(location, title)                                                                       \
    QFETCH(QString, backend);                                                                                \
    if (backend == u"postgresql"_s && !m_histories.postgresSkipReason().isEmpty())                           \
        QSKIP(qPrintable(u"PostgreSQL tests skipped: "_s + m_histories.postgresSkipReason()));               \
    const QString location = freshHistory(backend, title)

class TestWindowHistory : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_files;
    TestHistories m_histories;
    int m_serial = 0;

    // A fresh history file for the next window of `title`, named by its settings key.
    QString freshHistory(const QString& title = MarlinTitle)
    {
        const QString path = m_files.filePath(u"h%1/history.sqlite"_s.arg(++m_serial));
        QDir().mkpath(QFileInfo(path).absolutePath());
        SettingsStore(title).write(QLatin1String(MainWindow::HistoryLocationKey), path);
        return path;
    }

    // A fresh history of `backend` ("sqlite" or "postgresql") for the next window of `title`;
    // what its settings key holds (a path or a URL without a password).
    QString freshHistory(const QString& backend, const QString& title)
    {
        if (backend == u"sqlite"_s)
            return freshHistory(title);
        const QString location = m_histories.fresh(backend).display();
        SettingsStore(title).write(QLatin1String(MainWindow::HistoryLocationKey), location);
        return location;
    }

    static void prepare(MainWindow& window, quint16 port, const QString& hexFile)
    {
        window.setTimeScale(Scale);
        window.show();
        control<QLineEdit>(window, "EthernetAddress")->setText(u"127.0.0.1"_s);
        control<QLineEdit>(window, "EthernetPort")->setText(QString::number(port));
        window.setFileChooser([hexFile] { return hexFile; });
        action(window, "mnuFileOpen")->trigger();
        QTRY_VERIFY(control<QPushButton>(window, "LoadStart")->isEnabled());
    }

    // Load and Start, and the update's end; whether it succeeded.
    static bool runOnce(MainWindow& window)
    {
        QSignalSpy finished(&window.updates(), &UpdateController::updateFinished);
        control<QPushButton>(window, "LoadStart")->click();
        if (!finished.wait(20000))
            return false;
        return finished.first().first().toBool();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_settingsDir.isValid());
        isolateSettings(m_settingsDir.path());
    }

    void init()
    {
        SettingsStore(MarlinTitle).removeSection();
        SettingsStore(MarlinTitle + u" Debug"_s).removeSection();
    }

    // ---- what the window records ---------------------------------------------------------------

    void successAndNoConnection_data() { TestHistories::addBackends(); }

    // The window's rows carry the log as the window showed it, its own wording and the connection
    // error's lines included.
    void successAndNoConnection()
    {
        FRESH_HISTORY(path, MarlinTitle);
        const QString hex = writeHexFile(m_files.path(), u"recorded.hex"_s, 30);
        unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
        QVERIFY(unit.listen());
        MainWindow window(MarlinTitle, u"1.0.61"_s, product(MarlinTitle));
        prepare(window, unit.port(), hex);

        QVERIFY(runOnce(window));
        const QStringList successLog = logLines(window);
        const quint16 closed = closedPort();
        control<QLineEdit>(window, "EthernetPort")->setText(QString::number(closed));
        QVERIFY(!runOnce(window));
        const QStringList noConnectionLog = logLines(window);
        window.close();

        const QList<UpdateRecord> rows = rowsAt(path); // latest first
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(1).outcome, u"succeeded"_s);
        QCOMPARE(rows.at(0).outcome, u"no-connection"_s);
        QCOMPARE(rows.at(0).unitPort, closed);
        for (const UpdateRecord& row : rows) {
            QCOMPARE(row.frontend, u"window"_s);
            QCOMPARE(row.program, QCoreApplication::applicationName());
            QCOMPARE(row.product, u"Marlin"_s);
            QCOMPARE(row.sha256, sha256Of(hex));
            QCOMPARE(row.fileName, u"recorded.hex"_s);
            QVERIFY(row.ended.isValid());
        }
        const QStringList logs[] = {noConnectionLog, successLog};
        for (int i = 0; i < 2; ++i) {
            const HistoryRow full = HistoryReader::byId(HistoryLocation::parse(path), rows.at(i).id);
            QVERIFY(full.record);
            QCOMPARE(full.record->log, logs[i].join(u'\n'));
        }
        QVERIFY(noConnectionLog.join(u'\n').contains(u"10061"_s));
        QVERIFY(window.historyWarning().isEmpty());
    }

    // Closing the window ends the update; its row is written, as cancelled, before close() returns.
    void closingMidUpdate_data() { TestHistories::addBackends(); }

    void closingMidUpdate()
    {
        FRESH_HISTORY(path, MarlinTitle);
        const QString hex = writeHexFile(m_files.path(), u"long.hex"_s, 4000);
        unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
        unit.setLatencyMs(2);
        QVERIFY(unit.listen());
        auto window = std::make_unique<MainWindow>(MarlinTitle, u"1.0.61"_s, product(MarlinTitle));
        prepare(*window, unit.port(), hex);
        control<QPushButton>(*window, "LoadStart")->click();
        QTRY_VERIFY_WITH_TIMEOUT(unit.report().cumulative().recordsAccepted > 50, 20000);
        window->close();

        const QList<UpdateRecord> rows = rowsAt(path);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().outcome, u"cancelled"_s);
        QCOMPARE(rows.first().reason, u"The window was closed."_s);
        QVERIFY(rows.first().ended.isValid());
        QVERIFY(rows.first().recordsSent > 50 && rows.first().recordsSent < 4000);
        window.reset();
        QCOMPARE(rowsAt(path).size(), 1);
    }

    // A build rewrites the file in place while it is sent: the end-of-file record never goes out.
    void fileRewrittenWhileSent()
    {
        const QString path = freshHistory();
        // Larger than 64 KiB, and different only near its end: the first read cannot hold it all.
        QList<QByteArray> lines = HexFile::plain(3000);
        const QString hex = m_files.filePath(u"rewritten.hex"_s);
        const auto write = [&hex](const QList<QByteArray>& contents) {
            QFile file(hex);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(HexFile::join(contents));
        };
        write(lines);
        QVERIFY(QFileInfo(hex).size() > 64 * 1024);
        const QString original = sha256Of(hex);
        unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
        unit.setLatencyMs(2);
        QVERIFY(unit.listen());
        MainWindow window(MarlinTitle, u"1.0.61"_s, product(MarlinTitle));
        prepare(window, unit.port(), hex);
        QSignalSpy finished(&window.updates(), &UpdateController::updateFinished);
        control<QPushButton>(window, "LoadStart")->click();
        QTRY_VERIFY_WITH_TIMEOUT(unit.report().cumulative().recordsAccepted > 100, 20000);
        lines[2800] = HexFile::data(0xAF00, QByteArray(16, 'q'));
        write(lines);
        QVERIFY(finished.wait(60000));
        QCOMPARE(finished.first().first().toBool(), false);
        QVERIFY(!unit.report().cumulative().imageComplete);
        window.close();

        const QList<UpdateRecord> rows = rowsAt(path);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().outcome, u"file-changed"_s);
        QCOMPARE(rows.first().sha256, original); // the file as checked, the one the unit began to get
    }

    // Tools > Forget takes the address and port, never the history's location.
    void forgetKeepsTheHistoryLocation()
    {
        const QString title = MarlinTitle + u" Debug"_s;
        const QString path = freshHistory(title);
        SettingsStore(title).write(u"EthernetAddress"_s, u"10.1.2.3"_s);
        MainWindow window(title, u"1.0.61"_s, product(title));
        action(window, "mnuForget")->trigger();
        SettingsStore store(title);
        QCOMPARE(store.read(u"EthernetAddress"_s, u"gone"_s), u"gone"_s);
        QCOMPARE(store.read(QLatin1String(MainWindow::HistoryLocationKey), {}), path);
    }

    // ---- histories that cannot be used ---------------------------------------------------------

    void unusableHistoryWarnsOnceAndTheUpdateRuns_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("corrupt file") << u"corrupt"_s;
        QTest::newRow("read-only file") << u"read-only"_s;
        QTest::newRow("newer schema") << u"newer"_s;
        QTest::newRow("unreachable server") << u"unreachable"_s;
    }

    void unusableHistoryWarnsOnceAndTheUpdateRuns()
    {
        QFETCH(QString, kind);
        const QString folder = m_files.filePath(u"trouble%1"_s.arg(++m_serial));
        QVERIFY(QDir().mkpath(folder));
        QString location = QDir(folder).filePath(u"history.sqlite"_s);
        if (kind == u"unreachable"_s) {
            location = u"postgresql://nobody@127.0.0.1:%1/x?connect_timeout=2"_s.arg(closedPort());
        } else {
            UpdateHistory history;
            history.open(HistoryLocation::sqliteFile(location));
            UpdateRecord record;
            record.frontend = u"cli"_s;
            history.finish(history.begin(record), {u"succeeded"_s, {}, {}, 1, 1});
            QVERIFY(history.close());
        }
        if (kind == u"corrupt"_s) {
            QFile file(location);
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.seek(100);
            file.write(QByteArray(3000, '\x5a'));
        } else if (kind == u"newer"_s) {
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"tamper"_s);
                db.setDatabaseName(location);
                QVERIFY(db.open());
                QVERIFY(QSqlQuery(db).exec(
                    u"UPDATE schema_version SET version = %1"_s.arg(HistorySchema::currentVersion() + 1)));
                db.close();
            }
            QSqlDatabase::removeDatabase(u"tamper"_s);
        } else if (kind == u"read-only"_s) {
            QVERIFY(QFile::setPermissions(location, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        }

        // As root every file is writable: the window then runs as the unprivileged user nobody.
        QProcess driver;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        environment.insert(u"HOME"_s, folder);
        driver.setProcessEnvironment(environment);
        QStringList command{QStringLiteral(HISTORY_DRIVER), location, folder};
        if (geteuid() == 0) {
            for (const QString& open : {m_files.path(), folder})
                QVERIFY(QFile::setPermissions(open, QFileDevice::Permissions(0x7777)));
            command = QStringList{u"--reuid=nobody"_s, u"--regid=nogroup"_s, u"--clear-groups"_s, u"--"_s} +
                      command;
            driver.start(u"setpriv"_s, command);
        } else {
            driver.start(command.takeFirst(), command);
        }
        QVERIFY(driver.waitForFinished(60000));
        const QString out = QString::fromUtf8(driver.readAllStandardOutput());
        const QString err = QString::fromUtf8(driver.readAllStandardError());
        QCOMPARE(driver.exitCode(), 0);
        QVERIFY2(out.count(u"warning: "_s) == 1, qPrintable(out + err));
        QVERIFY2(out.contains(u"colour: green"_s) && out.contains(u"log: Done!  Unit is ready to use."_s),
                 qPrintable(out));
        // The log is the update's story alone.
        for (const QString& line : out.split(u'\n'))
            if (line.startsWith(u"log: "_s))
                QVERIFY2(!line.contains(u"histor"_s, Qt::CaseInsensitive), qPrintable(line));
        const QString expected = kind == u"unreachable"_s ? u"cannot be reached"_s
                                 : kind == u"read-only"_s ? u"cannot be written"_s
                                 : kind == u"newer"_s     ? u"newer"_s
                                                          : u"left as it is"_s;
        QVERIFY2(out.contains(expected), qPrintable(out));
        QVERIFY2(!err.contains(u"AddressSanitizer"_s) && !err.contains(u"runtime error"_s), qPrintable(err));
    }

    // ---- File > History... ---------------------------------------------------------------------

    void historyDialog()
    {
        const QString path = freshHistory();
        {
            UpdateHistory history;
            history.open(HistoryLocation::sqliteFile(path));
            const char* outcomes[] = {"succeeded", "refused", "succeeded", "no-connection"};
            for (int i = 0; i < 4; ++i) {
                UpdateRecord record;
                record.started = QDateTime(QDate(2026, 12, 1 + i), QTime(8, 0), Qt::UTC);
                record.frontend = u"cli"_s;
                record.unitHost = u"10.0.4.%1"_s.arg(20 + i);
                record.unitPort = 23;
                record.fileName = i == 2 ? u"a,\"quoted\".hex"_s : u"f%1.hex"_s.arg(i);
                record.sha256 = u"%1"_s.arg(i).repeated(64);
                record.recordsTotal = 100;
                record.serial = i % 2 == 1 ? u"40-1187"_s : u"40-118%1"_s.arg(i);
                record.lot = u"WO-5521"_s;
                record.log = u"first line of %1\nlast line of %1"_s.arg(i);
                history.finish(history.begin(record),
                               {QString::fromLatin1(outcomes[i]), {}, {}, double(4 - i), 10 * i});
            }
            QVERIFY(history.close());
        }
        MainWindow window(MarlinTitle, u"1.0.61"_s, product(MarlinTitle));
        window.show();
        QString csvPath = m_files.filePath(u"export.csv"_s);
        QString suggested;
        window.setHistoryCsvChooser([&](const QString& suggestion) {
            suggested = suggestion;
            return csvPath;
        });
        action(window, "mnuFileHistory")->trigger();
        auto* dialog = window.findChild<HistoryDialog*>(u"dlgHistory"_s);
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        for (const char* name :
             {"txtUnit", "txtSince", "txtUntil", "cboOutcome", "txtSha256", "txtSerial", "txtLot", "spnLimit",
              "btnShow", "tblHistory", "txtUpdateLog", "btnExportCsv", "btnClose", "lblHistoryStatus"})
            QVERIFY2(dialog->findChild<QWidget*>(QLatin1String(name)), name);
        auto* table = dialog->findChild<QTableView*>(u"tblHistory"_s);
        auto* status = dialog->findChild<QLabel*>(u"lblHistoryStatus"_s);
        // The table and the rows under it keep the item models' rules through every read, filter
        // and sort below.
        const auto mode = QAbstractItemModelTester::FailureReportingMode::QtTest;
        QAbstractItemModelTester tableTester(table->model(), mode);
        auto* sorted = qobject_cast<QSortFilterProxyModel*>(table->model());
        QVERIFY(sorted);
        QAbstractItemModelTester rowsTester(sorted->sourceModel(), mode);
        QTRY_COMPARE(table->model()->rowCount(), 4);
        QVERIFY(!dialog->isReading());
        const auto column = [&](int c) {
            QStringList cells;
            for (int r = 0; r < table->model()->rowCount(); ++r)
                cells << table->model()->index(r, c).data().toString();
            return cells;
        };
        QCOMPARE(column(2),
                 (QStringList{u"10.0.4.23:23"_s, u"10.0.4.22:23"_s, u"10.0.4.21:23"_s, u"10.0.4.20:23"_s}));

        // Sorting by a column: Time (s) is 4, 3, 2, 1 from the first update on.
        table->horizontalHeader()->setSortIndicator(5, Qt::AscendingOrder);
        QCOMPARE(column(5), (QStringList{u"1.0"_s, u"2.0"_s, u"3.0"_s, u"4.0"_s}));
        table->sortByColumn(1, Qt::DescendingOrder);

        // The filters, as uploader-cli history has them.
        QSignalSpy shown(dialog, &HistoryDialog::rowsShown);
        auto* outcome = dialog->findChild<QComboBox*>(u"cboOutcome"_s);
        outcome->setCurrentIndex(outcome->findData(u"succeeded"_s));
        dialog->findChild<QPushButton*>(u"btnShow"_s)->click();
        QVERIFY(shown.size() > 0 || shown.wait(10000));
        shown.clear();
        QCOMPARE(column(2), (QStringList{u"10.0.4.22:23"_s, u"10.0.4.20:23"_s}));
        dialog->findChild<QLineEdit*>(u"txtSince"_s)->setText(u"2026-12-02"_s);
        dialog->findChild<QPushButton*>(u"btnShow"_s)->click();
        QVERIFY(shown.size() > 0 || shown.wait(10000));
        shown.clear();
        QCOMPARE(column(2), (QStringList{u"10.0.4.22:23"_s}));
        dialog->findChild<QLineEdit*>(u"txtSince"_s)->setText(u"yesterday"_s);
        dialog->findChild<QPushButton*>(u"btnShow"_s)->click();
        QVERIFY2(status->text().startsWith(u"Since: "_s), qPrintable(status->text()));
        QVERIFY(!dialog->isReading());
        QCOMPARE(column(2).size(), 1);

        // Serial and lot match exactly.
        dialog->findChild<QLineEdit*>(u"txtSince"_s)->clear();
        outcome->setCurrentIndex(0);
        auto* serial = dialog->findChild<QLineEdit*>(u"txtSerial"_s);
        serial->setText(u" 40-1187"_s);
        dialog->findChild<QLineEdit*>(u"txtLot"_s)->setText(u"WO-5521"_s);
        dialog->findChild<QPushButton*>(u"btnShow"_s)->click();
        QVERIFY(shown.size() > 0 || shown.wait(10000));
        shown.clear();
        QCOMPARE(column(2), (QStringList{u"10.0.4.23:23"_s, u"10.0.4.21:23"_s}));
        QCOMPARE(column(HistoryTableModel::Serial), (QStringList{u"40-1187"_s, u"40-1187"_s}));
        QCOMPARE(column(HistoryTableModel::Attempt), (QStringList{u"1"_s, u"1"_s}));
        serial->setText(QString(65, u'7'));
        dialog->findChild<QPushButton*>(u"btnShow"_s)->click();
        QVERIFY2(status->text().startsWith(u"Serial: "_s), qPrintable(status->text()));
        serial->clear();

        // The selected update's log.
        dialog->findChild<QLineEdit*>(u"txtSince"_s)->clear();
        outcome->setCurrentIndex(0);
        dialog->findChild<QPushButton*>(u"btnShow"_s)->click();
        QVERIFY(shown.size() > 0 || shown.wait(10000));
        shown.clear();
        QCOMPARE(table->model()->rowCount(), 4);
        QSignalSpy details(dialog, &HistoryDialog::detailsShown);
        table->selectRow(1);
        QVERIFY(details.size() > 0 || details.wait(10000));
        const QString log = dialog->findChild<QPlainTextEdit*>(u"txtUpdateLog"_s)->toPlainText();
        QVERIFY2(log.contains(u"  first line of 2\n  last line of 2"_s), qPrintable(log));

        // Export CSV: the rows as the table shows them, written whole.
        dialog->findChild<QPushButton*>(u"btnExportCsv"_s)->click();
        QVERIFY(suggested.endsWith(u".csv"_s));
        QFile csv(csvPath);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(csv.readAll());
        QCOMPARE(text, HistoryFormat::csv(rowsAt(path)));
        QVERIFY(text.contains(u"\"a,\"\"quoted\"\".hex\""_s));
        QVERIFY2(status->text().startsWith(u"Saved 4 updates to "_s), qPrintable(status->text()));
        // A folder that cannot be written: the message says so, and nothing half-written is left.
        csvPath = m_files.filePath(u"recorded.hex/nowhere/export.csv"_s);
        dialog->findChild<QPushButton*>(u"btnExportCsv"_s)->click();
        QVERIFY2(status->text().startsWith(u"Could not save "_s), qPrintable(status->text()));
        window.close();
        QVERIFY(!dialog->isVisible());
    }

    // A history that does not exist yet reads as empty, and the dialog does not create it.
    void historyDialogOnNoHistory()
    {
        const QString title = MarlinTitle;
        const QString path = m_files.filePath(u"none/history.sqlite"_s);
        SettingsStore(title).write(QLatin1String(MainWindow::HistoryLocationKey), u"sqlite://"_s + path);
        MainWindow window(title, u"1.0.61"_s, product(title));
        HistoryDialog* dialog = window.showHistory();
        // The first read may have ended already: its rows come from a thread of the history's own.
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->isReading(), 10000);
        QCOMPARE(dialog->findChild<QLabel*>(u"lblHistoryStatus"_s)->text(),
                 u"No updates recorded that match."_s);
    }

    // ---- many writers at once ------------------------------------------------------------------

    // Three uploader-cli processes and the window's Loop record into one file at once: every
    // update has its row, and every row has its end.
    void manyWritersLoseNoRow_data() { TestHistories::addBackends(); }

    void manyWritersLoseNoRow()
    {
        const QString title = MarlinTitle + u" Debug"_s;
        FRESH_HISTORY(path, title);
        const QString hex = writeHexFile(m_files.path(), u"shared.hex"_s, 20);
        std::vector<std::unique_ptr<unitsim::SimulatedUnit>> units;
        for (int i = 0; i < 13; ++i) {
            units.push_back(std::make_unique<unitsim::SimulatedUnit>(unitsim::Model::Marlin));
            QVERIFY(units.back()->listen());
        }
        constexpr int Processes = 3, UnitsEach = 4, Repeat = 25;

        MainWindow window(title, u"1.0.61"_s, product(title));
        prepare(window, units.back()->port(), hex);
        int windowUpdates = 0;
        connect(&window.updates(), &UpdateController::updateStarted, this, [&] { ++windowUpdates; });
        action(window, "mnuLoop")->trigger();
        control<QPushButton>(window, "LoadStart")->click();

        std::vector<std::unique_ptr<QProcess>> clis;
        for (int p = 0; p < Processes; ++p) {
            auto cli = std::make_unique<QProcess>();
            QStringList arguments{u"--history"_s,    path,     u"--repeat"_s, u"%1"_s.arg(Repeat),
                                  u"--time-scale"_s, u"0.02"_s};
            for (int u = 0; u < UnitsEach; ++u)
                arguments << u"--unit"_s << u"127.0.0.1:%1"_s.arg(units[size_t(p * UnitsEach + u)]->port());
            cli->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            cli->setStandardOutputFile(QProcess::nullDevice());
            cli->start(QStringLiteral(UPLOADER_CLI_TESTING), arguments << hex);
            QVERIFY(cli->waitForStarted(5000));
            clis.push_back(std::move(cli));
        }
        QVERIFY(waitUntil(
            [&] {
                for (const auto& cli : clis)
                    if (cli->state() != QProcess::NotRunning)
                        return false;
                return true;
            },
            240000));
        for (const auto& cli : clis)
            QCOMPARE(cli->exitCode(), 0);

        // Loop off: the update under way, or one restart already on its way, is the window's last.
        action(window, "mnuLoop")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!window.updates().isUpdateRunning(), 20000);
        QTest::qWait(200);
        QTRY_VERIFY_WITH_TIMEOUT(!window.updates().isUpdateRunning(), 20000);
        window.close();
        QVERIFY(windowUpdates > 5);

        QMap<QString, int> perFrontEnd;
        for (const UpdateRecord& row : rowsAt(path)) {
            ++perFrontEnd[row.frontend];
            QVERIFY2(row.outcome == u"succeeded"_s, qPrintable(row.outcome + u" "_s + row.reason));
            QVERIFY(row.ended.isValid());
        }
        QCOMPARE(perFrontEnd.value(u"cli"_s), Processes * UnitsEach * Repeat);
        QCOMPARE(perFrontEnd.value(u"window"_s), windowUpdates);
        QCOMPARE(window.historyWarning(), QString());
    }
};

QTEST_MAIN(TestWindowHistory)
#include "tst_windowhistory.moc"
