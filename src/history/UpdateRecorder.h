#pragma once

#include "history/UpdateHistory.h"

#include <QString>

struct UpdateRequest;
struct UpdateResult;

// What a front end knows of the firmware before the update reads it, e.g. the station's stored
// file, which keeps the name it was uploaded with. Unknown: empty or -1; the history reads the
// file's size and SHA-256 itself when they are not given.
struct RecordedFirmware
{
    QString name;
    qint64 size = -1;
    QString sha256;
    qint64 recordsToSend = -1;
    QString signer; // the principal whose release key signed it; empty: not verified
};

// Which run and attempt an update is, and what the line knows of its unit; empty when not known.
struct RecordedUnit
{
    QString runId; // the run of many units, else empty
    QString serial, lot, fixture;
    int attempt = 1;
    QString startedBy = {}; // who started it (the station's token name), else empty
    QString uuid = {};      // the row's; empty: the history makes one
};

// Keeps updates in the history on behalf of a front end: the row an update begins with, its log as
// the front end shows it, its records sent, and how it ended. The window and the runs of many units
// (uploader-cli, uploader-station) record through it, and nothing else writes history rows.
class UpdateRecorder
{
public:
    // frontend: "window", "cli" or "station". Without a history (nullptr, or one that is not open)
    // nothing is recorded and every handle is 0.
    UpdateRecorder(UpdateHistory* history, QString frontend)
        : m_history(history), m_frontend(std::move(frontend))
    {
    }

    // The row of an update that starts now.
    HistoryHandle begin(const UpdateRequest& request, const RecordedUnit& unit = {},
                        const RecordedFirmware& firmware = {});
    void line(HistoryHandle handle, const QString& text, bool debugOnly);
    void recordsSent(HistoryHandle handle, qint64 records);
    // Completes the row with the result and what the check learnt of the file. interrupted: an
    // interrupt, a cancelled run or a stopping station ended it; the row says "interrupted".
    void finish(HistoryHandle handle, const UpdateResult& result, bool interrupted = false);

private:
    UpdateHistory* m_history;
    QString m_frontend;
};
