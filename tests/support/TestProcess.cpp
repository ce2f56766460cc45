#include "TestProcess.h"

#include "WaitUntil.h"

TestProcess::TestProcess(const QString& program)
{
    process.setProgram(program);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                     [this] { out += process.readAllStandardOutput(); });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                     [this] { err += process.readAllStandardError(); });
}

TestProcess::~TestProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void TestProcess::start(const QStringList& arguments)
{
    process.setArguments(arguments);
    process.start();
    process.waitForStarted(5000);
}

bool TestProcess::waitForExit(int timeoutMs)
{
    const bool ended = waitUntil([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    out += process.readAllStandardOutput();
    err += process.readAllStandardError();
    return ended;
}

int TestProcess::run(const QStringList& arguments, int timeoutMs)
{
    start(arguments);
    if (!waitForExit(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

void TestProcess::setEnvironment(const QString& name, const QString& value)
{
    QProcessEnvironment environment = process.processEnvironment();
    if (environment.isEmpty())
        environment = QProcessEnvironment::systemEnvironment();
    environment.insert(name, value);
    process.setProcessEnvironment(environment);
}
