#pragma once

#include "cli/RunEvents.h"

#include <QObject>

class UpdateRunner;

// The run as JSON Lines on standard output: one compact object per RunEvents event (see the README
// for the schema), progress at most ten times a second per unit, and the summary last.
class JsonEventWriter : public QObject
{
    Q_OBJECT
public:
    JsonEventWriter(UpdateRunner& runner, bool verbose, QObject* parent = nullptr);

    void writeSummary();
    // {"event":"warning","message":...}: trouble beside the updates (the history cannot be
    // written, ...), which changes no update.
    static void writeWarning(const QString& message);

private:
    static void write(const QJsonObject& object);

    RunEvents m_events;
};
