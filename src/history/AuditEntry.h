#pragma once

#include <QDateTime>
#include <QString>

struct AuditEntry
{
    qint64 id = 0;
    QString uuid;
    QDateTime time;
    QString station, token, client, method, path, object;
    int status = 0;
    bool waiting = false;
};
