#pragma once

#include <QDateTime>
#include <QString>

// One request that changed something at a station, or was refused for its token or its role, as
// the history keeps it. `time` is UTC; `object` names what it was about (a firmware's SHA-256, a
// run's id, a fixture's name) or is empty.
struct AuditEntry
{
    qint64 id = 0; // assigned by the history
    QString uuid;  // names the entry on every computer; made when it is recorded
    QDateTime time;
    QString station, token, client, method, path, object; // token: its name, empty for none
    int status = 0;                                       // the HTTP status answered
    // Read from this computer's journal: the shared history does not have it yet.
    bool waiting = false;
};
