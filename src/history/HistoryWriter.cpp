#include "history/HistoryWriter.h"

#include "history/AuditTable.h"
#include "history/HistorySql.h"
#include "history/ProcessIdentity.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>

namespace {

constexpr int firstRetryMs = 500;
constexpr int lastRetryMs = 30000;
constexpr int rowsPerTransaction = 500;

} // namespace

HistoryWriter::HistoryWriter(const HistoryLocation& location, QString forwardTo, int busyTimeoutMs)
    : m_location(location), m_forwardTo(std::move(forwardTo)), m_busyTimeoutMs(busyTimeoutMs),
      m_retry(this) // the timer moves with this object
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &HistoryWriter::writePending);
}

HistoryWriter::~HistoryWriter()
{
    m_table.reset();
    m_connection.reset();
}

void HistoryWriter::start()
{
    // Open at once, so that trouble shows before the first update and rows left running by a
    // crashed program are marked now.
    ensureOpen();
}

void HistoryWriter::save(qint64 handle, const UpdateRecord& record, bool finished,
                         std::shared_ptr<std::promise<void>> committed)
{
    if (m_disabled) {
        if (committed)
            committed->set_value();
        return;
    }
    Pending& pending = m_pending[handle];
    const qint64 id = pending.record.id;
    pending.record = record;
    pending.record.id = id;
    pending.record.forwardTo = m_forwardTo;
    pending.finished = finished;
    if (committed)
        pending.committed = std::move(committed);
    pending.dirty = true;
    fillFileFacts(pending);
    if (m_pending.size() > maxPending)
        dropOldest();
    scheduleWrite();
}

void HistoryWriter::audit(const AuditEntry& entry)
{
    if (m_disabled)
        return;
    m_audit.append(entry);
    if (m_audit.size() > maxPending) {
        m_audit.remove(0, m_audit.size() - maxPending);
        emit trouble(auditDroppedKind,
                     QStringLiteral("The update history at %1 could not be written for too long: more than "
                                    "%2 audit entries waited, and the oldest are not recorded.")
                         .arg(m_location.display())
                         .arg(maxPending));
    }
    scheduleWrite();
}

void HistoryWriter::fillFileFacts(Pending& pending)
{
    UpdateRecord& record = pending.record;
    if (!pending.hashed && record.sha256.isEmpty() && !record.filePath.isEmpty()) {
        pending.hashed = true;
        QFile file(record.filePath);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (file.open(QIODevice::ReadOnly) && hash.addData(&file)) {
            pending.sha256 = QString::fromLatin1(hash.result().toHex());
            pending.fileSize = file.size();
        }
    }
    if (record.sha256.isEmpty())
        record.sha256 = pending.sha256;
    if (record.fileSize < 0)
        record.fileSize = pending.fileSize;
}

void HistoryWriter::dropOldest()
{
    qsizetype dropped = 0;
    while (m_pending.size() > maxPending) {
        if (m_pending.begin()->committed)
            m_pending.begin()->committed->set_value();
        m_pending.erase(m_pending.begin());
        ++dropped;
    }
    emit trouble(droppedKind, QStringLiteral("The update history at %1 could not be written for too long: "
                                             "more than %2 updates waited, and the oldest are not recorded.")
                                  .arg(m_location.display())
                                  .arg(maxPending));
}

void HistoryWriter::scheduleWrite()
{
    if (m_writeScheduled || m_retry.isActive())
        return;
    m_writeScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_writeScheduled = false;
        if (!m_retry.isActive())
            writePending();
    });
}

bool HistoryWriter::ensureOpen()
{
    if (m_disabled)
        return false;
    if (m_connection && m_connection->isOpen())
        return true;
    m_table.reset();
    m_connection = std::make_unique<HistoryConnection>(m_location);
    HistoryError error = m_connection->open(HistoryConnection::Purpose::Write, m_busyTimeoutMs);
    if (!error.ok()) {
        failed(error);
        return false;
    }
    m_table = std::make_unique<HistoryTable>(m_connection->database());
    // A failure to mark old rows does not stop this process's own recording; its writes report.
    m_table->markAbandonedNow(ProcessIdentity::current(), m_location.kind());
    return true;
}

void HistoryWriter::failed(const HistoryError& error)
{
    m_failing = true;
    QString message = error.message;
    if (message.endsWith(QLatin1Char('.')))
        message.chop(1);
    message += error.permanent() ? QStringLiteral("; updates are not being recorded.")
                                 : QStringLiteral("; updates are kept and written once it works again.");
    emit trouble(error.kind, message);
    if (error.permanent()) {
        m_disabled = true;
        for (Pending& pending : m_pending)
            if (pending.committed)
                pending.committed->set_value();
        m_pending.clear();
        m_audit.clear();
        m_table.reset();
        m_connection.reset();
        return;
    }
    // Start afresh next time: a server that went away leaves a dead connection behind.
    if (error.kind != HistoryError::Busy) {
        m_table.reset();
        m_connection.reset();
    }
    m_backoffMs = m_backoffMs == 0 ? firstRetryMs : qMin(m_backoffMs * 2, lastRetryMs);
    m_retry.start(m_backoffMs);
}

void HistoryWriter::writePending()
{
    auto anyDirty = [this] {
        return std::any_of(m_pending.cbegin(), m_pending.cend(), [](const Pending& p) { return p.dirty; });
    };
    while (anyDirty() || !m_audit.isEmpty()) {
        if (!ensureOpen())
            return;
        QSqlDatabase& db = m_connection->database();
        QSqlQuery transaction(db);
        if (!transaction.exec(HistorySql::beginWrite(m_location.kind()))) {
            failed(
                HistorySql::error(m_location, transaction.lastError(), QStringLiteral("cannot be written")));
            return;
        }
        QList<qint64> inserted;
        QList<qint64> committed;
        QSqlError sqlError;
        for (auto it = m_pending.begin(); it != m_pending.end() && committed.size() < rowsPerTransaction;
             ++it) {
            if (!it->dirty)
                continue;
            const bool known = it->record.id != 0;
            bool applied = false;
            const bool ok = m_table->save(it->record, &applied);
            if (ok && applied && !known)
                inserted << it.key();
            if (!ok) {
                sqlError = m_table->lastError();
                break;
            }
            committed << it.key();
        }
        qsizetype audited = 0;
        if (!sqlError.isValid())
            writeAudit(&sqlError, &audited);
        if (!sqlError.isValid() && !transaction.exec(QStringLiteral("COMMIT")))
            sqlError = transaction.lastError();
        if (sqlError.isValid()) {
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            for (qint64 handle : inserted)
                m_pending[handle].record.id = 0; // those inserts were rolled back
            failed(HistorySql::error(m_location, sqlError, QStringLiteral("cannot be written")));
            return;
        }
        m_backoffMs = 0;
        m_failing = false;
        m_audit.remove(0, audited);
        for (qint64 handle : inserted)
            emit recorded(handle, m_pending.value(handle).record.id);
        for (qint64 handle : committed) {
            auto it = m_pending.find(handle);
            if (it->finished) {
                if (it->committed)
                    it->committed->set_value();
                m_pending.erase(it);
                emit written(handle);
            } else
                it->dirty = false;
        }
        emit journalWritten();
    }
}

bool HistoryWriter::writeAudit(QSqlError* error, qsizetype* written)
{
    AuditTable table(m_connection->database());
    *written = 0;
    for (AuditEntry& entry : m_audit) {
        if (*written == rowsPerTransaction)
            break;
        if (!table.insert(entry, m_forwardTo)) {
            *error = table.lastError();
            return false;
        }
        ++*written;
    }
    return true;
}

void HistoryWriter::shutdown()
{
    m_retry.stop();
    if (!m_disabled)
        writePending();
    m_retry.stop(); // a failure above set it again; the timer must not outlive this thread's loop
    bool all = !m_disabled && m_audit.isEmpty();
    for (Pending& pending : m_pending) {
        all = all && !pending.dirty;
        if (pending.committed && pending.finished && pending.dirty)
            pending.committed->set_value(); // nobody waits for what will not come
    }
    m_allWritten = all;
    m_table.reset();
    m_connection.reset();
    QThread::currentThread()->quit();
}
