#include "history/UpdateHistory.h"

#include "history/HistoryConnection.h"
#include "history/HistoryForwarder.h"
#include "history/HistorySql.h"
#include "history/HistoryTable.h"
#include "history/HistoryWriter.h"
#include "history/JournalForwarding.h"
#include "history/ProcessIdentity.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSqlQuery>
#include <QSysInfo>
#include <QThread>
#include <QUuid>

#include <pwd.h>
#include <unistd.h>

namespace {

QString osUser()
{
    static const QString name = [] {
        if (const passwd* entry = getpwuid(geteuid()); entry && entry->pw_name)
            return QString::fromLocal8Bit(entry->pw_name);
        return qEnvironmentVariable("USER");
    }();
    return name;
}

} // namespace

UpdateHistory::UpdateHistory(QObject* parent) : QObject(parent)
{
    m_refresh.setInterval(2000);
    connect(&m_refresh, &QTimer::timeout, this, &UpdateHistory::refresh);
}

UpdateHistory::~UpdateHistory()
{
    close(defaultCloseTimeoutMs);
}

void UpdateHistory::open(const HistoryLocation& location)
{
    close();
    m_location = location;
    if (!location.isValid()) {
        report(HistoryError::Unreachable,
               location.error() + QStringLiteral(" Updates are not being recorded."));
        return;
    }
    m_waitingAtClose = 0;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("update history"));
    m_writer = new HistoryWriter(location.journal(), location.isOwnJournal() ? QString() : location.display(),
                                 m_busyTimeoutMs);
    m_writer->moveToThread(m_thread);
    connect(m_writer, &HistoryWriter::trouble, this, &UpdateHistory::report);
    // The id that counts is the history's: the journal's own for an SQLite history, the server's
    // once a row is forwarded there.
    if (location.isOwnJournal())
        connect(m_writer, &HistoryWriter::recorded, this, &UpdateHistory::recorded);
    connect(m_writer, &HistoryWriter::written, this, &UpdateHistory::written);
    m_thread->start();
    QMetaObject::invokeMethod(m_writer, &HistoryWriter::start, Qt::QueuedConnection);
    if (!location.isOwnJournal()) {
        // Its own thread: a server that takes its time must not hold up the journal's writes.
        m_forwarderThread = new QThread;
        m_forwarderThread->setObjectName(QStringLiteral("history forwarder"));
        m_forwarder = new HistoryForwarder(location, m_busyTimeoutMs);
        m_forwarder->moveToThread(m_forwarderThread);
        connect(m_forwarder, &HistoryForwarder::trouble, this, &UpdateHistory::report);
        connect(m_forwarder, &HistoryForwarder::waitingChanged, this, &UpdateHistory::waitingChanged);
        connect(m_forwarder, &HistoryForwarder::forwarded, this, [this](const auto& rows) {
            for (const auto& [uuid, id] : rows)
                if (const HistoryHandle handle = m_unrecorded.take(uuid))
                    emit recorded(handle, id);
        });
        connect(m_writer, &HistoryWriter::journalWritten, m_forwarder, &HistoryForwarder::nudge);
        m_forwarderThread->start();
        QMetaObject::invokeMethod(m_forwarder, &HistoryForwarder::start, Qt::QueuedConnection);
    }
    m_refresh.start();
}

HistoryHandle UpdateHistory::begin(UpdateRecord record)
{
    if (!m_writer)
        return 0;
    const ProcessIdentity& self = ProcessIdentity::current();
    if (!record.started.isValid())
        record.started = QDateTime::currentDateTimeUtc();
    record.started = record.started.toUTC();
    record.ended = QDateTime();
    if (record.host.isEmpty())
        record.host = QSysInfo::machineHostName();
    if (record.user.isEmpty())
        record.user = osUser();
    if (record.program.isEmpty())
        record.program = QCoreApplication::applicationName();
    if (record.version.isEmpty())
        record.version = QCoreApplication::applicationVersion();
    record.outcome = QStringLiteral("running");
    if (record.uuid.isEmpty())
        record.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.revision = 0;
    record.machineId = self.machineId;
    record.bootId = self.bootId;
    record.pid = self.pid;
    record.processStart = self.startTime;
    record.id = 0;

    const HistoryHandle handle = ++m_lastHandle;
    if (m_forwarder)
        m_unrecorded.insert(record.uuid, handle);
    Live& live = m_live[handle];
    live.log = UpdateLog(m_debugLimit);
    if (!record.log.isEmpty()) {
        for (const QString& line : record.log.split(QLatin1Char('\n')))
            live.log.append(line, false);
    }
    live.record = std::move(record);
    send(handle, live, false);
    return handle;
}

void UpdateHistory::addLine(HistoryHandle handle, const QString& line, bool debug)
{
    auto it = m_live.find(handle);
    if (it == m_live.end())
        return;
    it->log.append(line, debug);
    it->dirty = true;
}

void UpdateHistory::setRecordsSent(HistoryHandle handle, qint64 recordsSent)
{
    auto it = m_live.find(handle);
    if (it == m_live.end() || it->record.recordsSent == recordsSent)
        return;
    it->record.recordsSent = recordsSent;
    it->dirty = true;
}

void UpdateHistory::amend(HistoryHandle handle, const std::function<void(UpdateRecord&)>& change)
{
    auto it = m_live.find(handle);
    if (it == m_live.end())
        return;
    change(it->record);
    it->dirty = true;
}

void UpdateHistory::finish(HistoryHandle handle, const UpdateEnd& end)
{
    auto it = m_live.find(handle);
    if (it == m_live.end())
        return;
    UpdateRecord& record = it->record;
    record.ended = QDateTime::currentDateTimeUtc();
    record.outcome = end.outcome;
    record.refusalCode = end.refusalCode;
    record.reason = end.reason;
    record.elapsedSeconds = end.elapsedSeconds;
    record.recordsSent = end.recordsSent;
    auto committed = std::make_shared<std::promise<void>>();
    std::future<void> onDisk = committed->get_future();
    send(handle, *it, true, std::move(committed));
    m_live.erase(it);
    // A journal that cannot be written now (a full disk) would hold up every update's end.
    if (!m_writer->isFailing())
        onDisk.wait_for(std::chrono::milliseconds(FinishCommitWaitMs));
}

void UpdateHistory::audit(AuditEntry entry)
{
    if (!m_writer)
        return;
    entry.time = entry.time.isValid() ? entry.time.toUTC() : QDateTime::currentDateTimeUtc();
    if (entry.station.isEmpty())
        entry.station = QSysInfo::machineHostName();
    if (entry.uuid.isEmpty())
        entry.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    HistoryWriter* writer = m_writer;
    QMetaObject::invokeMethod(
        writer, [writer, entry = std::move(entry)] { writer->audit(entry); }, Qt::QueuedConnection);
}

void UpdateHistory::send(HistoryHandle handle, Live& live, bool finished,
                         std::shared_ptr<std::promise<void>> committed)
{
    live.dirty = false;
    ++live.record.revision;
    UpdateRecord copy = live.record;
    copy.log = live.log.text();
    HistoryWriter* writer = m_writer;
    QMetaObject::invokeMethod(
        writer,
        [writer, handle, copy, finished, committed = std::move(committed)] {
            writer->save(handle, copy, finished, committed);
        },
        Qt::QueuedConnection);
}

void UpdateHistory::refresh()
{
    for (auto it = m_live.begin(); it != m_live.end(); ++it) {
        if (it->dirty)
            send(it.key(), *it, false);
    }
}

void UpdateHistory::report(int kind, const QString& message)
{
    if (m_reported.contains(kind))
        return;
    m_reported.insert(kind);
    emit warning(message);
}

bool UpdateHistory::close(int timeoutMs)
{
    m_refresh.stop();
    if (!m_writer)
        return true;
    const QDeadlineTimer deadline(timeoutMs);
    refresh(); // what running updates logged since their last refresh
    m_live.clear();
    QMetaObject::invokeMethod(m_writer, &HistoryWriter::shutdown, Qt::QueuedConnection);
    const bool ended = m_thread->wait(deadline);
    bool written = false;
    if (ended) {
        written = m_writer->allWritten();
        delete m_writer;
        delete m_thread;
    } else {
        // The database holds the thread (a file locked for long). Let it end on its own; the
        // process may exit before that, which loses only what it had not written.
        connect(m_thread, &QThread::finished, m_writer, &QObject::deleteLater);
        connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
        disconnect(m_writer, nullptr, this, nullptr);
        report(HistoryWriter::droppedKind,
               QStringLiteral(
                   "The update history at %1 did not finish writing within %2 s; the last updates may "
                   "not be recorded.")
                   .arg(m_location.journal().display())
                   .arg(timeoutMs / 1000.0));
    }
    m_writer = nullptr;
    m_thread = nullptr;
    if (m_forwarder) {
        stopForwarder(deadline);
        // Read here, not from the forwarder: it may still be waiting for the server.
        m_waitingAtClose = JournalForwarding(m_location, 1000).ownWaiting();
        written = written && m_waitingAtClose == 0;
    }
    // Deliver the threads' last reports now: the caller may be about to exit.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    return written;
}

void UpdateHistory::stopForwarder(QDeadlineTimer deadline)
{
    QMetaObject::invokeMethod(
        m_forwarder, [forwarder = m_forwarder, ms = deadline.remainingTime()] { forwarder->finish(ms); },
        Qt::QueuedConnection);
    if (m_forwarderThread->wait(deadline)) {
        delete m_forwarder;
        delete m_forwarderThread;
    } else {
        // The server does not answer within the time left: its rows stay in the journal.
        connect(m_forwarderThread, &QThread::finished, m_forwarder, &QObject::deleteLater);
        connect(m_forwarderThread, &QThread::finished, m_forwarderThread, &QObject::deleteLater);
        disconnect(m_forwarder, nullptr, this, nullptr);
    }
    m_forwarder = nullptr;
    m_forwarderThread = nullptr;
}

HistoryError UpdateHistory::checkWritable(const HistoryLocation& location, int timeoutMs)
{
    HistoryConnection connection(location);
    HistoryError error = connection.open(HistoryConnection::Purpose::Write, timeoutMs);
    if (!error.ok())
        return error;
    // Opening may only have read: try a write that changes nothing, and take it back.
    QSqlQuery query(connection.database());
    if (!query.exec(HistorySql::beginWrite(location.kind())) ||
        !query.exec(QStringLiteral("UPDATE schema_version SET version = version"))) {
        error = HistorySql::error(location, query.lastError(), QStringLiteral("cannot be written"));
    }
    query.exec(QStringLiteral("ROLLBACK"));
    return error;
}
