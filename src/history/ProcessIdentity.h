#pragma once

#include <QString>

// A process as other processes of the same machine can recognise it after it is gone: a pid alone
// may be reused, pid and start time (clock ticks after boot, /proc/PID/stat) together are not,
// within one boot (/proc/sys/kernel/random/boot_id).
struct ProcessIdentity
{
    QString machineId; // QSysInfo::machineUniqueId(); falls back to the host name
    QString bootId;
    qint64 pid = 0;
    qint64 startTime = 0;

    static ProcessIdentity current();
    // The start time of that process now, or -1 when there is no such process.
    static qint64 startTimeOf(qint64 pid);
    // Whether the process that wrote a row on this machine still runs. Rows of another machine
    // cannot be judged from here and count as alive.
    bool stillRuns(const QString& machine, const QString& boot, qint64 writerPid, qint64 writerStart) const;
};
