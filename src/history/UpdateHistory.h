#pragma once

#include "history/AuditEntry.h"
#include "history/HistoryError.h"
#include "history/HistoryLocation.h"
#include "history/UpdateEnd.h"
#include "history/UpdateLog.h"
#include "history/UpdateRecord.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>
#include <future>
#include <memory>

class HistoryForwarder;
class HistoryWriter;
class QDeadlineTimer;
class QThread;

// 0 is no update: calls with it do nothing.
using HistoryHandle = qint64;

// Records every update of a process, one row each, written when the update starts and completed
// when it ends; a row left "running" by a program that died is marked "abandoned" by the next
// program that opens the history on this machine. One per process.
//
// Every row is written first into this computer's journal, a local SQLite file: an SQLite history
// is its own journal; for a PostgreSQL one the rows are forwarded from the journal by a thread of
// their own, as soon as they are written and again until the server has them, so a server that
// blinks loses nothing (see HistoryForwarder). Nothing here waits for the server, nor for a locked
// file: rows are written by a thread of the history's own, with its own connection. Only finish()
// waits, at most FinishCommitWaitMs, for the finished row to be on disk, and close() as long as it
// is told.
//
// Trouble (cannot open, cannot write, ...) is reported by warning(), once per kind of trouble,
// on the thread that owns this object; recording never changes an update.
class UpdateHistory : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultCloseTimeoutMs = 5000;
    // How long finish() waits for the journal to hold the finished row, so that an update reported
    // as finished is on record even when the process is killed or the power fails right after.
    static constexpr int FinishCommitWaitMs = 500;

    explicit UpdateHistory(QObject* parent = nullptr);
    ~UpdateHistory() override; // close(defaultCloseTimeoutMs)

    // Starts the writer thread for that location; returns at once. An invalid location is reported
    // through warning() and nothing is recorded.
    void open(const HistoryLocation& location);
    bool isOpen() const { return m_writer != nullptr; }
    HistoryLocation location() const { return m_location; }

    // Starts a row. Empty `started`, host, user, program and version are filled in (now, this
    // machine, this user, the application's name and version), and so are the file's size and
    // SHA-256 when the path is given without them (the file is read on the history's thread).
    // The outcome is "running" until finish(). Returns 0 when the history is not open.
    HistoryHandle begin(UpdateRecord record);
    // Log lines as the front end shows them; `debug` for the lines shown only with Debug on.
    void addLine(HistoryHandle handle, const QString& line, bool debug = false);
    void setRecordsSent(HistoryHandle handle, qint64 recordsSent);
    // Any other change while the update runs (records to send, the file's facts, ...).
    void amend(HistoryHandle handle, const std::function<void(UpdateRecord&)>& change);
    void finish(HistoryHandle handle, const UpdateEnd& end);

    // Records an entry of the audit (a station's request). Empty time, station and uuid are
    // filled in (now, this machine, a new one). Written and forwarded like the rows, and kept in
    // memory as long as they are; it never waits. Entries are not counted among the rows that wait
    // (waitingChanged, waitingAtClose): those are updates. What close() could not forward stays in
    // the journal for the next program here.
    void audit(AuditEntry entry);

    // Waits at most timeoutMs for the queued rows to be written and, for a shared history, for
    // this process's rows to be forwarded; then stops the threads. True when every row handed over
    // is in the history. Updates still running stay "running" (the next open marks them
    // abandoned). Rows that could not be forwarded stay in the journal: waitingAtClose() says how
    // many, and the next program to open the history here sends them.
    bool close(int timeoutMs = defaultCloseTimeoutMs);
    qint64 waitingAtClose() const { return m_waitingAtClose; }

    // Blocking: whether the history at that location can be opened and written, within about
    // timeoutMs (PostgreSQL: the location's connect timeout plus that). For starting only when the
    // history works (uploader-cli --history-required), before any unit is contacted.
    static HistoryError checkWritable(const HistoryLocation& location, int timeoutMs = 5000);

    // How long running updates go between writes of their log and counts.
    void setRefreshInterval(int ms) { m_refresh.setInterval(ms); }
    void setDebugLineLimit(qint64 limit) { m_debugLimit = limit; }
    // How long the writer waits for another writer's lock before it reports and retries later.
    // Takes effect at the next open().
    void setBusyTimeout(int ms) { m_busyTimeoutMs = ms; }

signals:
    void warning(const QString& message);
    // The database gave the row its id (for "history --show ID").
    void recorded(HistoryHandle handle, qint64 id);
    // The finished update's row is committed to the journal.
    void written(HistoryHandle handle);
    // For a shared history: how many rows of this computer wait to be forwarded, and since when
    // the oldest (after every attempt).
    void waitingChanged(qint64 count, const QDateTime& oldest);

private:
    struct Live
    {
        UpdateRecord record;
        UpdateLog log;
        bool dirty = false;
    };

    void send(HistoryHandle handle, Live& live, bool finished,
              std::shared_ptr<std::promise<void>> committed = {});
    void stopForwarder(QDeadlineTimer deadline);
    void refresh();
    void report(int kind, const QString& message);

    HistoryLocation m_location;
    QThread* m_thread = nullptr;
    HistoryWriter* m_writer = nullptr;
    QThread* m_forwarderThread = nullptr;
    HistoryForwarder* m_forwarder = nullptr;
    qint64 m_waitingAtClose = 0;
    QHash<QString, HistoryHandle> m_unrecorded; // by uuid: rows not yet in the shared history
    QHash<HistoryHandle, Live> m_live;
    HistoryHandle m_lastHandle = 0;
    QSet<int> m_reported;
    QTimer m_refresh;
    qint64 m_debugLimit = UpdateLog::defaultDebugLimit;
    int m_busyTimeoutMs = 10000;
};
