#pragma once

#include "cli/RunDisplay.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

class UpdateRunner;

// The human display on a terminal: a live line per running unit (address, phase, progress bar,
// percent, records per second, time left) and a line of counts, redrawn at most ten times a
// second in place. Ended updates (and, with --verbose, log lines) scroll above the live lines;
// the summary table comes last.
class TerminalDisplay : public QObject, public RunDisplay
{
    Q_OBJECT
public:
    TerminalDisplay(const UpdateRunner& runner, bool verbose, QObject* parent = nullptr);

    void updateStarted(const UnitRun& unit) override;
    void phaseChanged(const UnitRun& unit) override;
    void progress(const UnitRun& unit) override;
    void logLine(const UnitRun& unit, const QString& text, bool debugOnly) override;
    void retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay) override;
    void updateFinished(const UnitRun& unit) override;

    void writeSummary() override;
    // Takes the live lines off the screen, so that a message written now to the same terminal
    // lands where they were instead of below them, out of the cursor's reckoning. The next redraw
    // puts them back under it.
    void clearForMessage() override;
    // A warning on standard error while the live lines stand: they are cleared first and drawn
    // again below it, so that it does not land in the middle of them.
    void warn(const QString& message) override;

private:
    void redraw();
    QStringList liveLines(int columns, int rows) const;
    QString liveLine(int unit, int columns) const;

    const UpdateRunner& m_runner;
    bool m_verbose;
    QTimer m_tick;
    QStringList m_scrolling; // lines to print above the live ones at the next redraw
    int m_drawnLines = 0;
    int m_labelWidth = 0;
    bool m_dirty = true;
};
