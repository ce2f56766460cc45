#include "unitsim/ReplyWriter.h"

#include <QTcpSocket>

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
}

void ReplyWriter::send(const QByteArray& bytes, microseconds delay, microseconds splitGap)
{
    if (splitGap <= microseconds::zero()) {
        m_queue.push_back({Item::Action::Write, bytes, delay});
    } else {
        for (qsizetype i = 0; i < bytes.size(); ++i)
            m_queue.push_back({Item::Action::Write, bytes.mid(i, 1), i == 0 ? delay : splitGap});
    }
    pump();
}

void ReplyWriter::close(bool abortive, microseconds delay)
{
    m_queue.push_back({abortive ? Item::Action::Abort : Item::Action::Close, QByteArray(), delay});
    pump();
}

void ReplyWriter::pump()
{
    if (m_pumping || m_timer.isActive())
        return;
    m_pumping = true;
    while (!m_queue.empty() && !m_closed) {
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

} // namespace unitsim
