#pragma once

#include "history/AuditEntry.h"
#include "history/AuditFilter.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlError>

// The statements on the audit table, the same for both databases. Each returns false on an error
// of the database, which lastError() then holds. Writes expect the caller's transaction.
class AuditTable
{
public:
    explicit AuditTable(QSqlDatabase& db);

    // Adds the entry unless one of its uuid is there already (*added: whether it did; then
    // entry.id is the row's). forwardTo: the shared history it goes to, or empty.
    bool insert(AuditEntry& entry, const QString& forwardTo, bool* added = nullptr);
    // Latest first. waitingFor: only the journal's entries that this shared history does not have
    // yet (marked waiting).
    bool select(const AuditFilter& filter, QList<AuditEntry>* entries, const QString& waitingFor = {});

    // The journal's side of forwarding to `target` (a shared history's display()): the oldest
    // entries it does not have yet; and, once it has them, dropping them.
    bool waitingEntries(const QString& target, int limit, QList<AuditEntry>* entries);
    bool markForwarded(const QList<AuditEntry>& entries, const QString& target);

    QSqlError lastError() const { return m_error; }

private:
    bool fail(const QSqlError& error);

    QSqlDatabase m_db;
    QSqlError m_error;
};
