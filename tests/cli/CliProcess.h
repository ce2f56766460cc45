#pragma once

#include "WaitUntil.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// uploader-cli run as a process while the test's event loop serves the simulated units. By default
// the test build, which also takes --time-scale; Shipped runs the program as installed.
struct CliProcess
{
    enum class Build
    {
        Testing,
        Shipped,
    };

    QProcess process;
    QByteArray out;
    QByteArray err;
    // The process's home: the default update history goes to home/.local/share, never the real one.
    QTemporaryDir home;

    explicit CliProcess(Build build = Build::Testing)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral(".local/share")));
        environment.remove(QStringLiteral("UPLOADER_HISTORY"));
        process.setProcessEnvironment(environment);
        process.setProgram(build == Build::Testing ? QStringLiteral(UPLOADER_CLI_TESTING)
                                                   : QStringLiteral(UPLOADER_CLI));
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += process.readAllStandardError(); });
    }
    ~CliProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    void start(const QStringList& arguments)
    {
        process.setArguments(arguments);
        process.start();
        process.waitForStarted(5000);
    }
    bool waitForExit(int timeoutMs = 60000)
    {
        const bool ended = waitUntil([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return ended;
    }
    // Exit code, or -1 when it did not end by itself in time.
    int run(const QStringList& arguments, int timeoutMs = 60000)
    {
        start(arguments);
        if (!waitForExit(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }

    // Where the process records by default.
    QString defaultHistory() const
    {
        return home.filePath(QStringLiteral(".local/share/FirmwareUploader/history.sqlite"));
    }
    void setEnvironment(const QString& name, const QString& value)
    {
        QProcessEnvironment environment = process.processEnvironment();
        environment.insert(name, value);
        process.setProcessEnvironment(environment);
    }

    // Every line of standard output as JSON; an empty list when one is not an object.
    QList<QJsonObject> events() const
    {
        QList<QJsonObject> objects;
        for (const QByteArray& line : out.split('\n')) {
            if (line.isEmpty())
                continue;
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            if (error.error != QJsonParseError::NoError || !document.isObject())
                return {};
            objects << document.object();
        }
        return objects;
    }
    QList<QJsonObject> eventsOf(const QString& unit) const
    {
        QList<QJsonObject> objects;
        for (const QJsonObject& event : events())
            if (event.value(QStringLiteral("unit")).toString() == unit)
                objects << event;
        return objects;
    }
};
