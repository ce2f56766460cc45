#pragma once

#include "cli/RunDisplay.h"
#include "fleet/RunEvents.h"

class UpdateRunner;

// The run as JSON Lines on standard output: one compact object per event (see the README for the
// schema), progress at most ten times a second per unit, and the summary last.
class JsonEventWriter : public RunEvents, public RunDisplay
{
public:
    JsonEventWriter(const UpdateRunner& runner, bool verbose) : RunEvents(runner, verbose) {}

    void writeSummary() override;
    // Also as {"event":"warning","message":...}.
    void warn(const QString& message) override;

protected:
    void write(const QJsonObject& object) override;
};
