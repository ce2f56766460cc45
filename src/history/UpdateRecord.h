#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// One update of one unit as the history keeps it. Times are UTC; `ended` is invalid while the
// update runs (and for rows found abandoned). Unknown sizes and counts are -1.
struct UpdateRecord
{
    qint64 id = 0; // assigned by the database
    QDateTime started, ended;
    QString frontend; // "window", "cli", "station"
    QString host, user, program, version, product;
    QString unitHost; // IPv6 without brackets
    int unitPort = 0;
    QString fileName, filePath;
    qint64 fileSize = -1;
    QString sha256; // lower-case hex
    qint64 recordsTotal = -1, recordsSent = 0;
    QString outcome; // "running", "abandoned", or the engine's outcome names
    QString refusalCode, reason;
    double elapsedSeconds = 0;
    QString log;   // one line per '\n'; read back only by the lookup by id
    QString runId; // the run of many units it belongs to; empty for the window
    // What the line knows of the unit and the update: may be empty. attempt is 1 for the first
    // attempt of an update, 2 and more for its retries after network faults.
    QString serial, lot, fixture;
    int attempt = 1;
    QString signer; // who signed the firmware sent (its allowed-signers principal); empty: unchecked
    // Who started it: at the station, the name of the token that started its run or fixture watch.
    QString startedBy;

    // Who wrote the row, so that another process can tell a crashed writer from a live one.
    QString machineId, bootId;
    qint64 pid = 0, processStart = 0;

    // Names the update on every computer; made when it starts. A history holds one row per uuid.
    QString uuid;
    // Grows with every change of the update; a copy with a lower revision never replaces a higher.
    qint64 revision = 0;
    // In a computer's journal: the shared history the row goes to (its display(); empty when the
    // journal is itself the history), and the revision that history has.
    QString forwardTo;
    qint64 forwardedRevision = 0;
    // Read from this computer's journal: the shared history does not have this state of it yet.
    bool waiting = false;
};

Q_DECLARE_METATYPE(UpdateRecord)
