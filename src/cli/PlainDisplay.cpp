#include "cli/PlainDisplay.h"

#include "cli/ConsoleOutput.h"
#include "cli/SummaryTable.h"
#include "cli/UpdateRunner.h"
#include "engine/TextFormat.h"

PlainDisplay::PlainDisplay(UpdateRunner& runner, bool verbose, QObject* parent)
    : QObject(parent), m_runner(runner)
{
    connect(&runner, &UpdateRunner::phaseChanged, this, [this](int unit) {
        ConsoleOutput::out(prefix(unit) + UpdateJob::phaseName(m_runner.units()[size_t(unit)].phase) + u'\n');
    });
    if (verbose) {
        connect(&runner, &UpdateRunner::logLine, this, [this](int unit, const QString& text, bool) {
            ConsoleOutput::out(prefix(unit) + QStringLiteral("| ") + TextFormat::escaped(text) + u'\n');
        });
    }
    connect(&runner, &UpdateRunner::updateFinished, this, [this](int unit) {
        ConsoleOutput::out(prefix(unit) + SummaryTable::updateEnd(m_runner.units()[size_t(unit)]) + u'\n');
    });
}

QString PlainDisplay::prefix(int unit) const
{
    const UnitRun& run = m_runner.units()[size_t(unit)];
    QString text = run.label + QStringLiteral("  ");
    if (m_runner.plan().repeat > 1 && run.update > 0)
        text += QStringLiteral("update %1/%2  ").arg(run.update).arg(m_runner.plan().repeat);
    return text;
}

void PlainDisplay::writeSummary()
{
    ConsoleOutput::out(u'\n' + SummaryTable::render(m_runner));
}
