#include "history/ProcessIdentity.h"

#include <QCoreApplication>
#include <QFile>
#include <QSysInfo>

namespace {

QString readTrimmed(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll()).trimmed();
}

} // namespace

ProcessIdentity ProcessIdentity::current()
{
    static const ProcessIdentity identity = [] {
        ProcessIdentity self;
        self.machineId = QString::fromLatin1(QSysInfo::machineUniqueId());
        if (self.machineId.isEmpty())
            self.machineId = QSysInfo::machineHostName();
        self.bootId = readTrimmed(QStringLiteral("/proc/sys/kernel/random/boot_id"));
        self.pid = QCoreApplication::applicationPid();
        self.startTime = startTimeOf(self.pid);
        return self;
    }();
    return identity;
}

qint64 ProcessIdentity::startTimeOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so count the fields
    // after its last ')'. The start time is field 22, the 20th after comm.
    const qsizetype commEnd = stat.lastIndexOf(')');
    if (commEnd < 0)
        return -1;
    const QList<QByteArray> fields = stat.mid(commEnd + 2).split(' ');
    if (fields.size() < 20 || fields.at(0) == "Z") // a zombie has ended; only its entry is left
        return -1;
    bool ok = false;
    const qint64 start = fields.at(19).toLongLong(&ok);
    return ok ? start : -1;
}

bool ProcessIdentity::stillRuns(const QString& machine, const QString& boot, qint64 writerPid,
                                qint64 writerStart) const
{
    if (machine != machineId)
        return true;
    if (boot != bootId)
        return false;
    return startTimeOf(writerPid) == writerStart;
}
