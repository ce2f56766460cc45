#pragma once

#include "history/HistoryError.h"
#include "history/HistoryLocation.h"

#include <QSqlDatabase>

// One connection to the history, for the thread that opens it (Qt SQL connections belong to one
// thread). Opening checks what is there: a missing history is created (Write) or read as empty
// (Read); an older schema is migrated; a newer one, a corrupt file or another program's
// database is refused and left untouched.
class HistoryConnection
{
public:
    enum class Purpose
    {
        Write,
        Read, // a missing SQLite file is not created; a read-only one is opened read-only
    };

    explicit HistoryConnection(const HistoryLocation& location);
    ~HistoryConnection();
    HistoryConnection(const HistoryConnection&) = delete;
    HistoryConnection& operator=(const HistoryConnection&) = delete;

    // busyTimeoutMs bounds how long SQLite waits for another writer's lock, and PostgreSQL for any
    // one statement.
    HistoryError open(Purpose purpose, int busyTimeoutMs = 5000, int schemaVersion = -1);
    void close();

    bool isOpen() const { return m_db.isOpen(); }
    // Opened for reading a history that does not exist yet: every query finds nothing.
    bool isEmpty() const { return m_empty; }
    bool isReadOnly() const { return m_readOnly; }
    QSqlDatabase& database() { return m_db; }
    const HistoryLocation& location() const { return m_location; }

private:
    HistoryError openSQLite(Purpose purpose, int busyTimeoutMs, int schemaVersion);
    HistoryError openPostgreSQL(int busyTimeoutMs, int schemaVersion);
    HistoryError problem(HistoryError::Kind kind, const QString& what) const;

    HistoryLocation m_location;
    QString m_name;
    QSqlDatabase m_db;
    bool m_empty = false;
    bool m_readOnly = false;
};
