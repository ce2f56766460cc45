#include "TestHistories.h"

#include "history/HistoryReader.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

void TestHistories::addBackends()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgresql") << QStringLiteral("postgresql");
}

HistoryLocation TestHistories::fresh(const QString& backend)
{
    ++m_serial;
    if (backend == QLatin1String("sqlite"))
        return HistoryLocation::sqliteFile(
            m_dir.filePath(QStringLiteral("h%1/history.sqlite").arg(m_serial)));
    preparePostgres();
    // One database per test binary, emptied for each test; and what this computer's journal still
    // holds for it (a test may leave rows the server never took) goes too.
    QSqlDatabase db = QSqlDatabase::database(QStringLiteral("test-admin-own"));
    QSqlQuery query(db);
    query.exec(QStringLiteral("DROP TABLE IF EXISTS updates"));
    query.exec(QStringLiteral("DROP TABLE IF EXISTS audit"));
    query.exec(QStringLiteral("DROP TABLE IF EXISTS schema_version"));
    const HistoryLocation location = HistoryLocation::parse(m_pgUrl);
    forgetWaiting(location);
    return location;
}

void TestHistories::forgetWaiting(const HistoryLocation& location)
{
    const HistoryLocation journal = location.journal();
    if (!QFile::exists(journal.filePath()))
        return;
    QSqlDatabase db = inspect(journal);
    QSqlQuery forget(db);
    forget.prepare(QStringLiteral("DELETE FROM updates WHERE forward_to = ?"));
    forget.bindValue(0, location.display());
    forget.exec();
    forget.prepare(QStringLiteral("DELETE FROM audit WHERE forward_to = ?")); // none in older journals
    forget.bindValue(0, location.display());
    forget.exec();
}

QSqlDatabase TestHistories::inspect(const HistoryLocation& location)
{
    const QString name = QStringLiteral("test-inspect");
    if (QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
    QSqlDatabase db;
    if (location.kind() != HistoryLocation::SQLite)
        return inspectAs(location, name);
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(location.filePath());
    db.open();
    return db;
}

QList<UpdateRecord> TestHistories::allRows(const HistoryLocation& location)
{
    HistoryFilter all;
    all.limit = 0;
    const HistoryRows rows = HistoryReader::list(location, all);
    if (!rows.error.ok())
        qWarning("%s", qPrintable(rows.error.message));
    return rows.rows;
}

void TestHistories::preparePostgres()
{
    if (m_pgPrepared)
        return;
    m_pgPrepared = true;
    const QString dir = qEnvironmentVariable("UPLOADER_TEST_POSTGRESQL_DIR");
    if (dir.isEmpty()) {
        m_pgSkip =
            QStringLiteral("UPLOADER_TEST_POSTGRESQL_DIR is not set: run the test through ctest, whose "
                           "fixture starts the PostgreSQL server");
        return;
    }
    QFile skip(dir + QStringLiteral("/skip"));
    if (skip.open(QIODevice::ReadOnly)) {
        m_pgSkip = QString::fromUtf8(skip.readAll()).trimmed();
        return;
    }
    QFile urlFile(dir + QStringLiteral("/url"));
    if (!urlFile.open(QIODevice::ReadOnly)) {
        m_pgSkip = QStringLiteral("the PostgreSQL fixture did not run (no %1)").arg(urlFile.fileName());
        return;
    }
    const HistoryLocation admin = HistoryLocation::parse(QString::fromUtf8(urlFile.readAll()).trimmed());
    QSqlDatabase adminDb = inspectAs(admin, QStringLiteral("test-admin"));
    if (!adminDb.isOpen()) {
        m_pgSkip =
            QStringLiteral("the test's PostgreSQL server does not answer: ") + adminDb.lastError().text();
        return;
    }
    m_pgDatabase = QStringLiteral("history_%1_%2")
                       .arg(QCoreApplication::applicationName().toLower())
                       .arg(QCoreApplication::applicationPid());
    QSqlQuery(adminDb).exec(QStringLiteral("CREATE DATABASE %1").arg(m_pgDatabase));
    m_pgUrl = QStringLiteral("postgresql://%1@%2:%3/%4?connect_timeout=5")
                  .arg(admin.user(), admin.host())
                  .arg(admin.port())
                  .arg(m_pgDatabase);
    inspectAs(HistoryLocation::parse(m_pgUrl), QStringLiteral("test-admin-own"));
}

QSqlDatabase TestHistories::inspectAs(const HistoryLocation& location, const QString& name)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setHostName(location.host());
    db.setPort(location.port());
    db.setUserName(location.user());
    db.setDatabaseName(location.database());
    db.open();
    return db;
}

void TestHistories::dropPostgresDatabase()
{
    if (m_pgDatabase.isEmpty())
        return;
    QSqlDatabase::database(QStringLiteral("test-admin-own")).close();
    QSqlDatabase admin = QSqlDatabase::database(QStringLiteral("test-admin"));
    QSqlQuery(admin).exec(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(m_pgDatabase));
}
