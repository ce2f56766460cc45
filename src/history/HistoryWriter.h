#pragma once

#include "history/AuditEntry.h"
#include "history/HistoryConnection.h"
#include "history/HistoryTable.h"
#include "history/UpdateRecord.h"

#include <QMap>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <future>
#include <memory>

// The history's own thread's side: keeps the rows that wait to be written into this computer's
// journal (an SQLite file: the history itself, or the one rows are forwarded from) and writes them
// in batches, each batch one transaction. A journal that is locked or cannot be written now is
// tried again later (backing off up to 30 s) with the rows kept in memory, up to maxPending
// updates (and as many audit entries); one that can never be written (corrupt, newer, read-only)
// ends the recording.
class HistoryWriter : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxPending = 10000;
    // Reported with trouble() when updates were dropped because the queue was full.
    static constexpr int droppedKind = 100;
    static constexpr int auditDroppedKind = 101;

    // location: the journal; forwardTo: the shared history its rows go to (display()), or empty.
    HistoryWriter(const HistoryLocation& location, QString forwardTo, int busyTimeoutMs);
    ~HistoryWriter() override;

    // Everything below runs on the writer's thread, called through queued invocations.
    void start();
    // The latest state of an update: the first save inserts its row, later ones rewrite it.
    // `committed`, when given, is set once the finished row is on disk (or can never be).
    void save(qint64 handle, const UpdateRecord& record, bool finished,
              std::shared_ptr<std::promise<void>> committed = {});
    // An entry of the audit, written once.
    void audit(const AuditEntry& entry);
    // Writes what is pending once more, closes the connection and ends the thread's event loop.
    void shutdown();

    // After the thread has ended: whether every update handed over was written.
    bool allWritten() const { return m_allWritten; }
    // From any thread: the last write failed, and the writer waits to try again.
    bool isFailing() const { return m_failing; }

signals:
    void trouble(int kind, const QString& message);
    void recorded(qint64 handle, qint64 id);
    void written(qint64 handle); // the finished row is committed
    void journalWritten();       // a batch is committed: there may be more to forward

private:
    struct Pending
    {
        UpdateRecord record;
        bool finished = false;
        bool dirty = true;
        QString sha256; // worked out here when the front end left it empty
        qint64 fileSize = -1;
        bool hashed = false;
        std::shared_ptr<std::promise<void>> committed;
    };

    void scheduleWrite();
    void writePending();
    bool ensureOpen();
    void failed(const HistoryError& error);
    void fillFileFacts(Pending& pending);
    void dropOldest();
    bool writeAudit(QSqlError* error, qsizetype* written);

    HistoryLocation m_location;
    QString m_forwardTo;
    int m_busyTimeoutMs;
    std::unique_ptr<HistoryConnection> m_connection;
    std::unique_ptr<HistoryTable> m_table;
    QMap<qint64, Pending> m_pending; // by handle, which grows: oldest first
    QList<AuditEntry> m_audit;       // oldest first
    QTimer m_retry;
    int m_backoffMs = 0;
    bool m_writeScheduled = false;
    bool m_disabled = false;
    std::atomic<bool> m_allWritten{false};
    std::atomic<bool> m_failing{false};
};
