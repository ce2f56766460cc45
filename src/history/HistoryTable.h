#pragma once

#include "history/HistoryFilter.h"
#include "history/HistoryLocation.h"
#include "history/ProcessIdentity.h"
#include "history/UpdateRecord.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <optional>

// The statements on the table of updates, the same for both databases. Each returns false on an
// error of the database, which lastError() then holds. Writes expect the caller's transaction.
class HistoryTable
{
public:
    explicit HistoryTable(QSqlDatabase& db);

    bool insert(UpdateRecord& record); // sets record.id
    // Writes the update's state: inserts its row, or replaces the one of the same uuid when this
    // revision is later (*applied: whether it did; then record.id is the row's).
    bool save(UpdateRecord& record, bool* applied);
    // Latest first, without their logs. waitingFor: only the journal's rows that this shared
    // history does not have yet (marked waiting).
    bool select(const HistoryFilter& filter, QList<UpdateRecord>* rows, const QString& waitingFor = {});
    bool byId(qint64 id, std::optional<UpdateRecord>* record);
    bool byUuid(const QString& uuid, std::optional<UpdateRecord>* record);
    // Rows that started before `before` and are not running any more.
    bool prune(const QDateTime& before, qint64* removed);
    // Running rows of this machine whose writer is gone become "abandoned"; `ended` stays empty,
    // since when the writer died is not known, and the reason says when it was noticed. Rows of
    // other machines are left alone: whether their writer lives cannot be seen from here.
    bool markAbandoned(const ProcessIdentity& self, int* marked);
    // The same in a write transaction of its own, on an SQLite journal only: a shared server's rows
    // are judged by the journal of the computer that wrote them, which forwards what it finds.
    // False when it could not be done now (busy); reading and writing go on regardless.
    bool markAbandonedNow(const ProcessIdentity& self, HistoryLocation::Kind kind);

    // The journal's side of forwarding to `target` (a shared history's display()): the oldest rows
    // it does not have yet, with their logs; noting what it has now; dropping what it has that
    // changes no more; and how many wait (those of one writer process, or all) and since when.
    bool waitingRows(const QString& target, int limit, QList<UpdateRecord>* rows);
    bool markForwarded(const UpdateRecord& record);
    bool pruneForwarded(const QString& target);
    bool countWaiting(const QString& target, const ProcessIdentity* writer, qint64* count, QDateTime* oldest);

    QSqlError lastError() const { return m_error; }

private:
    bool fail(const QSqlQuery& query);

    QSqlDatabase m_db;
    QSqlQuery m_save;
    // Prepared once, and only marked so when it worked: a prepare inside a failed transaction fails.
    bool m_savePrepared = false;
    QSqlError m_error;
};
