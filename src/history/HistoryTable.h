#pragma once

#include "history/HistoryFilter.h"
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
    // Rewrites everything that changes while an update runs and when it ends.
    bool update(const UpdateRecord& record, bool* found = nullptr);
    // Latest first, without their logs.
    bool select(const HistoryFilter& filter, QList<UpdateRecord>* rows);
    bool byId(qint64 id, std::optional<UpdateRecord>* record);
    // Rows that started before `before` and are not running any more.
    bool prune(const QDateTime& before, qint64* removed);
    // Running rows of this machine whose writer is gone become "abandoned"; `ended` stays empty,
    // since when the writer died is not known, and the reason says when it was noticed. Rows of
    // other machines are left alone: whether their writer lives cannot be seen from here.
    bool markAbandoned(const ProcessIdentity& self, int* marked);

    QSqlError lastError() const { return m_error; }

private:
    bool fail(const QSqlQuery& query);

    QSqlDatabase m_db;
    QSqlQuery m_insert;
    QSqlQuery m_update;
    // Prepared once, and only marked so when it worked: a prepare inside a failed transaction fails.
    bool m_insertPrepared = false;
    bool m_updatePrepared = false;
    QSqlError m_error;
};
