#pragma once

#include "history/AuditEntry.h"
#include "history/HistoryConnection.h"
#include "history/HistoryError.h"
#include "history/HistoryLocation.h"
#include "history/UpdateRecord.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QList>

#include <functional>
#include <memory>
#include <utility>

// Sends the rows that this computer's journal holds for a shared history into it, oldest first, a
// batch per transaction, and notes in the journal what went; what changes no more is then dropped
// from the journal. The audit's entries follow once no update waits; each is sent by its uuid too. Rows are
// written by their uuid at their revision, so a row sent twice (again after a failure, or by two programs at
// once) is one row there, at its latest state. Blocking: for a thread of its own, or a command that waits for
// it. Keeps its connections between calls.
class JournalForwarding
{
public:
    struct Result
    {
        qint64 forwarded = 0;      // rows written this time
        qint64 auditForwarded = 0; // audit entries sent this time
        qint64 waiting = 0;        // rows still waiting afterwards
        QDateTime oldest;          // when the oldest of those started
        HistoryError error;        // what stopped it, if anything did
    };

    static constexpr int RowsPerBatch = 200;

    // target: a PostgreSQL location; its journal() is where the rows wait.
    JournalForwarding(HistoryLocation target, int busyTimeoutMs);
    ~JournalForwarding();

    // Forwards until nothing waits, the deadline passes or an error stops it.
    Result forward(QDeadlineTimer deadline = QDeadlineTimer::Forever);
    // The rows this process recorded that wait; -1 when the journal cannot be read.
    qint64 ownWaiting();
    // The uuid and the shared history's id of each row written since the last call.
    QList<std::pair<QString, qint64>> takeSaved();

private:
    bool openJournal(HistoryError* error);
    bool openTarget(HistoryError* error);
    // Runs `work` in one write transaction on that connection. When anything fails it is rolled
    // back, the error (work's, else the transaction's) is reported, and the connection dropped.
    static bool inTransaction(std::unique_ptr<HistoryConnection>& connection, const HistoryLocation& location,
                              HistoryError* error,
                              const std::function<bool(QSqlDatabase&, QSqlError*)>& work);
    bool send(QList<UpdateRecord>& rows, HistoryError* error);
    bool note(const QList<UpdateRecord>& rows, HistoryError* error);
    bool count(Result* result);
    void forwardAudit(QDeadlineTimer deadline, Result* result);
    bool sendAudit(QList<AuditEntry>& entries, HistoryError* error);
    bool noteAudit(const QList<AuditEntry>& entries, HistoryError* error);

    HistoryLocation m_target;
    HistoryLocation m_journal;
    int m_busyTimeoutMs;
    std::unique_ptr<HistoryConnection> m_journalConnection;
    std::unique_ptr<HistoryConnection> m_targetConnection;
    QList<std::pair<QString, qint64>> m_saved;
};
