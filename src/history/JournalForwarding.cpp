#include "history/JournalForwarding.h"

#include "history/AuditTable.h"
#include "history/HistorySql.h"
#include "history/HistoryTable.h"
#include "history/ProcessIdentity.h"

#include <QFileInfo>
#include <QSqlQuery>

#include <functional>
#include <utility>

JournalForwarding::JournalForwarding(HistoryLocation target, int busyTimeoutMs)
    : m_target(std::move(target)), m_journal(m_target.journal()), m_busyTimeoutMs(busyTimeoutMs)
{
}

JournalForwarding::~JournalForwarding() = default;

bool JournalForwarding::openJournal(HistoryError* error)
{
    if (m_journalConnection && m_journalConnection->isOpen())
        return true;
    m_journalConnection = std::make_unique<HistoryConnection>(m_journal);
    *error = m_journalConnection->open(HistoryConnection::Purpose::Write, m_busyTimeoutMs);
    if (error->ok()) {
        // What a program that died left running is abandoned: a change to send like any other.
        HistoryTable(m_journalConnection->database())
            .markAbandonedNow(ProcessIdentity::current(), m_journal.kind());
        return true;
    }
    m_journalConnection.reset();
    return false;
}

bool JournalForwarding::count(Result* result)
{
    bool ok = false;
    {
        HistoryTable journal(m_journalConnection->database());
        ok = journal.countWaiting(m_target.display(), nullptr, &result->waiting, &result->oldest);
        if (!ok)
            result->error =
                HistorySql::error(m_journal, journal.lastError(), QStringLiteral("cannot be read"));
    }
    if (!ok)
        m_journalConnection.reset();
    return ok;
}

bool JournalForwarding::openTarget(HistoryError* error)
{
    if (m_targetConnection && m_targetConnection->isOpen())
        return true;
    m_targetConnection = std::make_unique<HistoryConnection>(m_target);
    *error = m_targetConnection->open(HistoryConnection::Purpose::Write, m_busyTimeoutMs);
    if (error->ok())
        return true;
    m_targetConnection.reset();
    return false;
}

bool JournalForwarding::inTransaction(std::unique_ptr<HistoryConnection>& connection,
                                      const HistoryLocation& location, HistoryError* error,
                                      const std::function<bool(QSqlDatabase&, QSqlError*)>& work)
{
    bool ok = false;
    QSqlError sqlError;
    {
        QSqlDatabase& db = connection->database();
        QSqlQuery transaction(db);
        ok = transaction.exec(HistorySql::beginWrite(location.kind())) && work(db, &sqlError) &&
             transaction.exec(QStringLiteral("COMMIT"));
        if (!ok) {
            if (!sqlError.isValid())
                sqlError = transaction.lastError();
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        }
    }
    if (!ok) {
        *error = HistorySql::error(location, sqlError, QStringLiteral("cannot be written"));
        connection.reset(); // a server that went away leaves a dead connection behind
    }
    return ok;
}

bool JournalForwarding::send(QList<UpdateRecord>& rows, HistoryError* error)
{
    return inTransaction(m_targetConnection, m_target, error, [&](QSqlDatabase& db, QSqlError* sqlError) {
        HistoryTable shared(db);
        for (const UpdateRecord& row : std::as_const(rows)) {
            UpdateRecord copy = row;
            copy.forwardTo.clear(); // the shared history sends it nowhere
            bool applied = false;
            if (!shared.save(copy, &applied)) {
                *sqlError = shared.lastError();
                return false;
            }
            if (applied)
                m_saved.append({copy.uuid, copy.id});
        }
        return true;
    });
}

bool JournalForwarding::note(const QList<UpdateRecord>& rows, HistoryError* error)
{
    return inTransaction(m_journalConnection, m_journal, error, [&](QSqlDatabase& db, QSqlError* sqlError) {
        HistoryTable journal(db);
        bool ok = true;
        for (qsizetype i = 0; ok && i < rows.size(); ++i)
            ok = journal.markForwarded(rows.at(i));
        // What changes no more need not stay here.
        ok = ok && journal.pruneForwarded(m_target.display());
        if (!ok)
            *sqlError = journal.lastError();
        return ok;
    });
}

JournalForwarding::Result JournalForwarding::forward(QDeadlineTimer deadline)
{
    Result result;
    // The server is tried at once, so that trouble shows before anything waits for it.
    const bool reachable = openTarget(&result.error);
    // Nothing has ever been recorded here: nothing waits, and no journal is made for it.
    if (!m_journalConnection && !QFileInfo::exists(m_journal.filePath()))
        return result;
    HistoryError journalError;
    if (!openJournal(&journalError)) {
        if (result.error.ok())
            result.error = journalError;
        return result;
    }
    bool updatesSent = false;
    while (reachable && !deadline.hasExpired()) {
        QList<UpdateRecord> rows;
        bool read = false;
        {
            HistoryTable journal(m_journalConnection->database());
            read = journal.waitingRows(m_target.display(), RowsPerBatch, &rows);
            if (!read)
                result.error =
                    HistorySql::error(m_journal, journal.lastError(), QStringLiteral("cannot be read"));
        }
        if (!read) {
            m_journalConnection.reset();
            return result;
        }
        if (rows.isEmpty()) {
            updatesSent = true;
            break;
        }
        if (!openTarget(&result.error) || !send(rows, &result.error))
            break;
        // Sent, but if not noted they go again: which changes nothing there.
        if (!note(rows, &result.error))
            return result;
        result.forwarded += rows.size();
    }
    if (updatesSent)
        forwardAudit(deadline, &result);
    if (m_journalConnection)
        count(&result);
    return result;
}

void JournalForwarding::forwardAudit(QDeadlineTimer deadline, Result* result)
{
    while (m_journalConnection && !deadline.hasExpired()) {
        QList<AuditEntry> entries;
        bool read = false;
        {
            AuditTable journal(m_journalConnection->database());
            read = journal.waitingEntries(m_target.display(), RowsPerBatch, &entries);
            if (!read)
                result->error =
                    HistorySql::error(m_journal, journal.lastError(), QStringLiteral("cannot be read"));
        }
        if (!read) {
            m_journalConnection.reset();
            return;
        }
        if (entries.isEmpty() || !openTarget(&result->error) || !sendAudit(entries, &result->error) ||
            !noteAudit(entries, &result->error))
            return;
        result->auditForwarded += entries.size();
    }
}

bool JournalForwarding::sendAudit(QList<AuditEntry>& entries, HistoryError* error)
{
    return inTransaction(m_targetConnection, m_target, error, [&](QSqlDatabase& db, QSqlError* sqlError) {
        AuditTable shared(db);
        // One sent before (and not noted here) is there already: that changes nothing.
        for (AuditEntry& entry : entries)
            if (!shared.insert(entry, {})) {
                *sqlError = shared.lastError();
                return false;
            }
        return true;
    });
}

bool JournalForwarding::noteAudit(const QList<AuditEntry>& entries, HistoryError* error)
{
    return inTransaction(m_journalConnection, m_journal, error, [&](QSqlDatabase& db, QSqlError* sqlError) {
        AuditTable journal(db);
        if (journal.markForwarded(entries, m_target.display()))
            return true;
        *sqlError = journal.lastError();
        return false;
    });
}

QList<std::pair<QString, qint64>> JournalForwarding::takeSaved()
{
    return std::exchange(m_saved, {});
}

qint64 JournalForwarding::ownWaiting()
{
    if (!m_journalConnection && !QFileInfo::exists(m_journal.filePath()))
        return 0;
    HistoryError error;
    if (!openJournal(&error))
        return -1;
    HistoryTable journal(m_journalConnection->database());
    qint64 waiting = 0;
    const ProcessIdentity& self = ProcessIdentity::current();
    if (!journal.countWaiting(m_target.display(), &self, &waiting, nullptr))
        return -1;
    return waiting;
}
