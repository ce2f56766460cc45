#pragma once

#include "fleet/RunObserver.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QFile;
class UpdateRunner;

// uploader-cli --log-dir: one text file per update, named by its start time and unit
// ("2026-12-08T03-05-40.123Z_10.0.4.20_23.log"), holding the log lines as they come (Debug lines
// only with --verbose), each written through at once, so the file is complete when the update
// ends, and as far as it got when the process dies.
class UpdateLogFiles : public QObject, public RunObserver
{
    Q_OBJECT
public:
    UpdateLogFiles(const UpdateRunner& runner, QString folder, bool verbose, QObject* parent = nullptr);
    ~UpdateLogFiles() override;

    // Creates the folder when it is missing and tries a write there; false with the reason.
    static bool prepare(const QString& folder, QString* error);
    // The file name for an update: UTC start time with milliseconds, host and port, with every
    // character that is not safe in a file name on common systems (':' of IPv6, '/', spaces,
    // controls, ...) replaced.
    static QString fileName(const QDateTime& started, const QString& host, int port);

    void updateStarted(const UnitRun& unit) override;
    void logLine(const UnitRun& unit, const QString& text, bool debugOnly) override;
    void retryScheduled(const UnitRun& unit, std::chrono::milliseconds /*delay*/) override
    {
        updateFinished(unit);
    }
    void updateFinished(const UnitRun& unit) override;

signals:
    // A file could not be written; said once per run, for a warning.
    void failed(const QString& message);

private:
    void fail(const QFile& file);

    QString m_folder;
    bool m_verbose;
    std::vector<std::unique_ptr<QFile>> m_files; // per unit, the file of the update under way
    bool m_failed = false;
};
