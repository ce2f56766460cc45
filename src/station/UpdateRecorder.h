#pragma once

#include "engine/UpdateResult.h"

#include <QDateTime>
#include <QString>

// Which update of which run an UpdateRecorder call is about.
struct UpdateIdentity
{
    QString run;
    QString unit;   // host:port
    int update = 0; // 1, 2, ... within the unit's run; 0 for a unit interrupted before it started
    QString firmwareSha256;
    QString firmwareName;
    QString product;
    QString unitHost; // IPv6 without brackets
    quint16 unitPort = 0;
    QString firmwarePath; // the stored file
    qint64 firmwareSize = -1;
    qint64 recordsToSend = -1;
};

// Something that keeps every update: attached to the EventHub, it hears each update's start, its
// log lines, its progress (coalesced as the event stream's) and its end, from the event loop, in
// order.
class UpdateRecorder
{
public:
    virtual ~UpdateRecorder() = default;
    virtual void updateStarted(const UpdateIdentity& update, const QDateTime& at) = 0;
    virtual void updateLog(const UpdateIdentity& update, const QString& text, bool debugOnly) = 0;
    virtual void updateProgress(const UpdateIdentity& update, qint64 recordsSent) = 0;
    // interrupted: the run was cancelled or the station stopped (the outcome shows "interrupted").
    virtual void updateFinished(const UpdateIdentity& update, const UpdateResult& result,
                                bool interrupted) = 0;
};
