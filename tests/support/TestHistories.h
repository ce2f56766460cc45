#pragma once

#include "history/HistoryLocation.h"
#include "history/UpdateRecord.h"

#include <QList>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

// The histories a test runs against: a fresh SQLite file, or a fresh database of its own on the
// throw-away PostgreSQL server that CTest's fixture started (its folder in
// UPLOADER_TEST_POSTGRESQL_DIR, the URL in the file "url" there).
class TestHistories
{
public:
    TestHistories() { m_dir.setAutoRemove(true); }
    ~TestHistories() { dropPostgresDatabase(); }

    // Adds the rows "sqlite" and "postgresql" for initTestCase_data().
    static void addBackends();

    // Why PostgreSQL cannot be tested here, or empty.
    QString postgresSkipReason()
    {
        preparePostgres();
        return m_pgSkip;
    }

    // A history location nobody has used yet in this test.
    HistoryLocation fresh(const QString& backend);

    // A connection of the test's own, for looking at or tampering with what the library wrote.
    static QSqlDatabase inspect(const HistoryLocation& location);

    // Drops what this computer's journal holds for the shared history at `location`.
    static void forgetWaiting(const HistoryLocation& location);

    // Every row there, latest first (none, with a warning, when it cannot be read).
    static QList<UpdateRecord> allRows(const HistoryLocation& location);

    QString tempPath(const QString& name) const { return m_dir.filePath(name); }

private:
    void preparePostgres();
    static QSqlDatabase inspectAs(const HistoryLocation& location, const QString& name);
    void dropPostgresDatabase();

    QTemporaryDir m_dir;
    int m_serial = 0;
    bool m_pgPrepared = false;
    QString m_pgSkip;
    QString m_pgUrl;
    QString m_pgDatabase;
};

// In a data-driven test: the location to use, or QSKIP with the reason PostgreSQL is missing.
#define HISTORY_LOCATION(histories, location)                                                                \
    QFETCH_GLOBAL(QString, backend);                                                                         \
    if (backend == QLatin1String("postgresql") && !(histories).postgresSkipReason().isEmpty())               \
        QSKIP(qPrintable(QStringLiteral("PostgreSQL tests skipped: ") + (histories).postgresSkipReason()));  \
    const HistoryLocation location = (histories).fresh(backend)
