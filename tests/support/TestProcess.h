#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// One of the project's programs run as a process while the test's event loop goes on (serving the
// simulated units, say): what it writes is collected as it comes, and a process still running when
// the test ends is killed.
class TestProcess
{
public:
    QProcess process;
    QByteArray out;
    QByteArray err;

    explicit TestProcess(const QString& program);
    ~TestProcess();
    TestProcess(const TestProcess&) = delete;
    TestProcess& operator=(const TestProcess&) = delete;

    void start(const QStringList& arguments);
    // False when it did not end within the time.
    bool waitForExit(int timeoutMs = 60000);
    // Exit code, or -1 when it did not end by itself in time.
    int run(const QStringList& arguments, int timeoutMs = 60000);
    qint64 pid() const { return process.processId(); }
    void setEnvironment(const QString& name, const QString& value);
};
