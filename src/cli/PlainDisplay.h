#pragma once

#include "cli/RunDisplay.h"

class UpdateRunner;

// The human display when standard output is no terminal: a line per unit per phase change, the
// end of each update, then the summary table. No control characters.
class PlainDisplay : public RunDisplay
{
public:
    PlainDisplay(const UpdateRunner& runner, bool verbose) : m_runner(runner), m_verbose(verbose) {}

    void phaseChanged(const UnitRun& unit) override;
    void logLine(const UnitRun& unit, const QString& text, bool debugOnly) override;
    void retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay) override;
    void updateFinished(const UnitRun& unit) override;
    void writeSummary() override;

private:
    QString prefix(const UnitRun& unit) const;

    const UpdateRunner& m_runner;
    bool m_verbose;
};
