// The window while the shared history is away: what its label says, and that it goes once the
// rows recorded here are in.

#include "OwnPostgresServer.h"
#include "UiTestSupport.h"

#include "settings/SettingsStore.h"
#include "ui/UpdateController.h"
#include "unitsim/SimulatedUnit.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using namespace UiTest;

class JournalWindowTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_files;
    OwnPostgresServer m_postgres{QStringLiteral(POSTGRES_FIXTURE)};

    static bool runOnce(MainWindow& window)
    {
        QSignalSpy finished(&window.updates(), &UpdateController::updateFinished);
        control<QPushButton>(window, "LoadStart")->click();
        return finished.wait(20000) && finished.first().first().toBool();
    }

private slots:
    void initTestCase()
    {
        isolateSettings(m_settingsDir.path());
        QVERIFY(m_postgres.start());
        if (!m_postgres.skipReason().isEmpty())
            QSKIP(qPrintable(u"PostgreSQL tests skipped: "_s + m_postgres.skipReason()));
    }

    void cleanupTestCase() { m_postgres.stop(); }

    // Two updates while the server is down: the label counts them; the server back, the
    // forwarder sends both with their true outcome and the label goes.
    void labelCountsWhatWaits()
    {
        const HistoryLocation history = m_postgres.freshHistory(u"window_outage"_s);
        SettingsStore(MarlinTitle).write(QLatin1String(MainWindow::HistoryLocationKey), history.display());
        const QString hex = writeHexFile(m_files.path(), u"fw.hex"_s, 20);
        unitsim::SimulatedUnit unit(unitsim::Model::Marlin);
        QVERIFY(unit.listen());

        MainWindow window(MarlinTitle, u"1.0.61"_s, product(MarlinTitle));
        window.setTimeScale(0.02);
        window.show();
        control<QLineEdit>(window, "EthernetAddress")->setText(u"127.0.0.1"_s);
        control<QLineEdit>(window, "EthernetPort")->setText(QString::number(unit.port()));
        window.setFileChooser([hex] { return hex; });
        action(window, "mnuFileOpen")->trigger();
        QTRY_VERIFY(control<QPushButton>(window, "LoadStart")->isEnabled());
        QLabel* label = control<QLabel>(window, "sbHistoryWarning");
        QVERIFY(label);

        QVERIFY(runOnce(window));
        QTRY_COMPARE(OwnPostgresServer::rowsOnServer(history).size(), 1);
        QVERIFY(m_postgres.pause());
        QVERIFY(runOnce(window));
        QVERIFY(runOnce(window));
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), u"History unavailable: 2 waiting"_s, 15000);
        QVERIFY(label->isVisible());

        QVERIFY(m_postgres.resume());
        QTRY_VERIFY_WITH_TIMEOUT(!label->isVisible(), 40000);
        const QList<UpdateRecord> rows = OwnPostgresServer::rowsOnServer(history);
        QCOMPARE(rows.size(), 3);
        for (const UpdateRecord& row : rows) {
            QCOMPARE(row.outcome, u"succeeded"_s);
            QVERIFY(row.ended.isValid());
        }
    }
};

QTEST_MAIN(JournalWindowTest)
#include "tst_journalwindow.moc"
