#include "unitsim/ReplyWriter.h"

#include <QTcpSocket>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace unitsim {

using std::chrono::microseconds;

ReplyWriter::ReplyWriter(QTcpSocket* socket, QObject* parent) : QObject(parent), m_socket(socket)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_delayDone = true;
        pump();
    });
    // channelBytesWritten, unlike bytesWritten, is emitted for every write to the OS, also for
    // the ones made while a bytesWritten signal is being handled, so the flood count is exact.
    connect(m_socket, &QIODevice::channelBytesWritten, this,
            [this](int, qint64 bytes) { onBytesWritten(bytes); });
}

void ReplyWriter::send(const QByteArray& bytes, microseconds delay, microseconds splitGap, Done done)
{
    if (splitGap <= microseconds::zero()) {
        m_queue.push_back({Item::Action::Write, bytes, delay, std::move(done)});
    } else {
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            const bool last = i == bytes.size() - 1;
            m_queue.push_back({Item::Action::Write, bytes.mid(i, 1), i == 0 ? delay : splitGap,
                               last ? std::move(done) : Done()});
        }
    }
    pump();
}

void ReplyWriter::flood(const QByteArray& head, const QByteArray& pattern, qint64 total, microseconds delay,
                        Done done)
{
    Q_ASSERT(!pattern.isEmpty());
    m_queue.push_back({Item::Action::Flood, pattern, delay, std::move(done), head, total});
    pump();
}

bool ReplyWriter::hasFlood() const
{
    return m_flood.active || std::any_of(m_queue.begin(), m_queue.end(),
                                         [](const Item& item) { return item.action == Item::Action::Flood; });
}

void ReplyWriter::close(bool abortive, microseconds delay)
{
    m_queue.push_back({abortive ? Item::Action::Abort : Item::Action::Close, QByteArray(), delay, Done()});
    pump();
}

void ReplyWriter::pump()
{
    if (m_pumping || m_timer.isActive() || m_flood.active)
        return;
    m_pumping = true;
    while (!m_queue.empty() && !m_closed && !m_flood.active) {
        const Item& item = m_queue.front();
        if (item.delay > microseconds::zero() && !m_delayDone) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(item.delay);
            m_timer.start(ms);
            break;
        }
        m_delayDone = false;
        const Item current = item;
        m_queue.pop_front();
        perform(current);
    }
    m_pumping = false;
}

void ReplyWriter::perform(const Item& item)
{
    switch (item.action) {
    case Item::Action::Write:
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        m_socket->write(item.bytes);
        m_socket->flush();
        emit written(item.bytes);
        if (item.done)
            item.done();
        return;
    case Item::Action::Flood:
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        m_flood = Flood{true, item.head, item.bytes, item.total, 0, m_socket->bytesToWrite(), item.done};
        emit floodStarted();
        feedFlood();
        return;
    case Item::Action::Close:
        m_closed = true;
        m_queue.clear();
        m_socket->disconnectFromHost();
        break;
    case Item::Action::Abort:
        m_closed = true;
        m_queue.clear();
#ifdef Q_OS_UNIX
        // Linger time zero makes close() send RST instead of FIN.
        if (const qintptr fd = m_socket->socketDescriptor(); fd >= 0) {
            const struct linger hard{1, 0};
            ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
#endif
        m_socket->abort();
        break;
    }
    emit closed();
}

void ReplyWriter::feedFlood()
{
    if (!m_flood.active)
        return;
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        m_flood = Flood();
        return;
    }
    const bool endless = m_flood.total == 0;
    // No flush(): the socket's write notifier hands the chunk to the OS from the event loop, and
    // its bytesWritten brings the next chunk, so the loop stays free to notice a close.
    while (m_socket->bytesToWrite() < kFloodThreshold && (endless || m_flood.queued < m_flood.total)) {
        QByteArray chunk =
            m_flood.queued < m_flood.head.size() ? m_flood.head.mid(m_flood.queued) : m_flood.pattern;
        if (!endless)
            chunk.truncate(std::min<qint64>(chunk.size(), m_flood.total - m_flood.queued));
        m_socket->write(chunk);
        m_flood.queued += chunk.size();
        emit floodBuffered(m_socket->bytesToWrite());
    }
    if (!endless && m_flood.queued >= m_flood.total && m_socket->bytesToWrite() == 0) {
        const Done done = std::move(m_flood.done);
        m_flood = Flood();
        emit floodFinished();
        if (done)
            done();
        pump();
    }
}

void ReplyWriter::onBytesWritten(qint64 bytes)
{
    if (!m_flood.active)
        return;
    const qint64 before = std::min(bytes, m_flood.ahead);
    m_flood.ahead -= before;
    if (bytes > before)
        emit floodSent(bytes - before);
    feedFlood();
}

} // namespace unitsim
