#pragma once

#include "TestProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// uploader-cli run as a process while the test's event loop serves the simulated units. By default
// the test build, which also takes --time-scale; Shipped runs the program as installed.
class CliProcess : public TestProcess
{
public:
    enum class Build
    {
        Testing,
        Shipped,
    };

    // The process's home: the default update history goes to home/.local/share, never the real one.
    QTemporaryDir home;

    explicit CliProcess(Build build = Build::Testing)
        : TestProcess(build == Build::Testing ? QStringLiteral(UPLOADER_CLI_TESTING)
                                              : QStringLiteral(UPLOADER_CLI))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral(".local/share")));
        environment.remove(QStringLiteral("UPLOADER_HISTORY"));
        process.setProcessEnvironment(environment);
    }

    // Runs in the home of another: the same default history and the same journal, as a second
    // program on the same computer.
    void shareHomeWith(const CliProcess& other)
    {
        setEnvironment(QStringLiteral("HOME"), other.home.path());
        setEnvironment(QStringLiteral("XDG_DATA_HOME"), other.home.filePath(QStringLiteral(".local/share")));
    }
    // This computer's journal, as the process finds it.
    QString journal() const
    {
        return process.processEnvironment().value(QStringLiteral("XDG_DATA_HOME")) +
               QStringLiteral("/FirmwareUploader/journal.sqlite");
    }

    // Where the process records by default.
    QString defaultHistory() const
    {
        return home.filePath(QStringLiteral(".local/share/FirmwareUploader/history.sqlite"));
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
