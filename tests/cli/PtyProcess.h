#pragma once

#include "WaitUntil.h"

#include <QByteArray>
#include <QList>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

// A program run as in a terminal window of a given size: its standard input, output and error are
// a pseudo-terminal, and the test is the terminal. Everything it writes is collected while the
// test's event loop runs, so the program never blocks on a full terminal.
class PtyProcess
{
public:
    PtyProcess(int columns, int rows) : m_columns(columns), m_rows(rows) {}
    ~PtyProcess()
    {
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        m_notifier.reset();
        if (m_master >= 0)
            ::close(m_master);
    }
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    bool start(const QString& program, const QStringList& arguments)
    {
        // Everything exec needs is made before fork: the child only execs.
        QList<QByteArray> strings{program.toLocal8Bit()};
        for (const QString& argument : arguments)
            strings << argument.toLocal8Bit();
        std::vector<char*> argv;
        for (QByteArray& string : strings)
            argv.push_back(string.data());
        argv.push_back(nullptr);

        winsize size{};
        size.ws_col = static_cast<unsigned short>(m_columns);
        size.ws_row = static_cast<unsigned short>(m_rows);
        m_pid = ::forkpty(&m_master, nullptr, nullptr, &size);
        if (m_pid < 0)
            return false;
        if (m_pid == 0) {
            // As a shell starts a command: default signal handling, nothing blocked.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int signalNumber : {SIGINT, SIGTERM, SIGPIPE, SIGQUIT})
                std::signal(signalNumber, SIG_DFL);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_notifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                         [this] { readAvailable(); });
        return true;
    }

    // As typed at the keyboard: "\x03" is Ctrl+C.
    bool type(const QByteArray& keys)
    {
        return ::write(m_master, keys.constData(), size_t(keys.size())) == keys.size();
    }

    pid_t pid() const { return m_pid; }
    const QByteArray& output() const { return m_output; }

    template <typename Condition> bool waitForOutput(Condition condition, int timeoutMs)
    {
        return waitUntil([&] { return condition(m_output); }, timeoutMs);
    }
    // Until the program has ended and everything it wrote has been read.
    bool waitForExit(int timeoutMs)
    {
        return waitUntil(
            [this] {
                if (!m_exited && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
                    m_exited = true;
                if (m_exited)
                    readAvailable();
                return m_exited && m_drained;
            },
            timeoutMs);
    }
    // The exit code; -1 while running or when a signal ended it.
    int exitCode() const { return m_exited && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1; }
    int terminatingSignal() const { return m_exited && WIFSIGNALED(m_status) ? WTERMSIG(m_status) : 0; }

private:
    void readAvailable()
    {
        char buffer[4096];
        while (!m_drained) {
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n > 0) {
                m_output.append(buffer, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            // EIO: the program and everything it started have closed the terminal.
            m_drained = true;
            m_notifier->setEnabled(false);
        }
    }

    int m_columns;
    int m_rows;
    pid_t m_pid = -1;
    int m_master = -1;
    int m_status = 0;
    bool m_exited = false;
    bool m_drained = false;
    QByteArray m_output;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
