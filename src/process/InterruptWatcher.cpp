#include "process/InterruptWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int WatchedSignals[] = {SIGINT, SIGTERM};

volatile sig_atomic_t s_writeFd = -1;
struct sigaction s_previous[2];

bool setFlags(int fd)
{
    return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

} // namespace

InterruptWatcher::InterruptWatcher(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds) != 0 || !setFlags(m_fds[0]) || !setFlags(m_fds[1])) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    m_notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &InterruptWatcher::onReadable);
    s_writeFd = m_fds[1];

    struct sigaction action
    {
    };
    action.sa_handler = &InterruptWatcher::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(WatchedSignals); ++i) {
        if (::sigaction(WatchedSignals[i], &action, &s_previous[i]) != 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
    }
    m_active = true;
}

InterruptWatcher::~InterruptWatcher()
{
    if (m_active)
        for (size_t i = 0; i < std::size(WatchedSignals); ++i)
            ::sigaction(WatchedSignals[i], &s_previous[i], nullptr);
    s_writeFd = -1;
    delete m_notifier;
    for (int fd : m_fds)
        if (fd >= 0)
            ::close(fd);
}

void InterruptWatcher::handle(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = s_writeFd;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds an interrupt that has not been read: nothing is lost.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void InterruptWatcher::onReadable()
{
    unsigned char bytes[16];
    const ssize_t n = ::read(m_fds[0], bytes, sizeof bytes);
    for (ssize_t i = 0; i < n; ++i)
        emit interrupted(bytes[i]);
}
