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
};

// Something that keeps every update: attached to the EventHub, it hears each update's start, its
// log lines and its end, from the event loop, in order.
class UpdateRecorder
{
public:
    virtual ~UpdateRecorder() = default;
    virtual void updateStarted(const UpdateIdentity& update, const QDateTime& at) = 0;
    virtual void updateLog(const UpdateIdentity& update, const QString& text, bool debugOnly) = 0;
    // interrupted: the run was cancelled or the station stopped (the outcome shows "interrupted").
    virtual void updateFinished(const UpdateIdentity& update, const UpdateResult& result,
                                bool interrupted) = 0;
};
