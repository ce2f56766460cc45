#include "cli/PlainDisplay.h"

#include "cli/SummaryTable.h"
#include "engine/TextFormat.h"
#include "fleet/UpdateRunner.h"
#include "process/ConsoleOutput.h"

void PlainDisplay::phaseChanged(const UnitRun& unit)
{
    ConsoleOutput::out(prefix(unit) + UpdateJob::phaseName(unit.phase) + u'\n');
}

void PlainDisplay::logLine(const UnitRun& unit, const QString& text, bool)
{
    if (m_verbose)
        ConsoleOutput::out(prefix(unit) + QStringLiteral("| ") + TextFormat::escaped(text) + u'\n');
}

void PlainDisplay::retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay)
{
    ConsoleOutput::out(prefix(unit) + SummaryTable::attemptEnd(unit, delay) + u'\n');
}

void PlainDisplay::updateFinished(const UnitRun& unit)
{
    ConsoleOutput::out(prefix(unit) + SummaryTable::updateEnd(unit) + u'\n');
}

QString PlainDisplay::prefix(const UnitRun& unit) const
{
    QString text = unit.label + QStringLiteral("  ");
    if (m_runner.plan().repeat > 1 && unit.update > 0)
        text += QStringLiteral("update %1/%2  ").arg(unit.update).arg(m_runner.plan().repeat);
    return text;
}

void PlainDisplay::writeSummary()
{
    ConsoleOutput::out(u'\n' + SummaryTable::render(m_runner) + SummaryTable::runLine(runId()));
}
