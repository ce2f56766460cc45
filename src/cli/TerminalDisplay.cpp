#include "cli/TerminalDisplay.h"

#include "cli/SummaryTable.h"
#include "engine/TextFormat.h"
#include "fleet/UpdateRunner.h"
#include "process/ConsoleOutput.h"

#include <QLocale>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int RedrawIntervalMs = 100;
constexpr int BarWidth = 20;

void terminalSize(int* columns, int* rows)
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        *columns = size.ws_col;
        *rows = size.ws_row;
        return;
    }
    *columns = 80;
    *rows = 24;
}

// Lines longer than the terminal would wrap, and the cursor would no longer find the live lines.
QString fitted(const QString& line, int columns)
{
    return line.size() < columns ? line : line.left(std::max(columns - 1, 1));
}

QString timeLeft(double seconds)
{
    const qint64 s = qint64(seconds + 0.5);
    return QStringLiteral("%1:%2 left").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

TerminalDisplay::TerminalDisplay(const UpdateRunner& runner, bool verbose, QObject* parent)
    : QObject(parent), m_runner(runner), m_verbose(verbose)
{
    for (const UnitRun& run : runner.units())
        m_labelWidth = std::max(m_labelWidth, int(run.label.size()));
    m_tick.setInterval(RedrawIntervalMs);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        if (m_dirty)
            redraw();
    });
    m_tick.start();
}

void TerminalDisplay::updateStarted(const UnitRun&)
{
    m_dirty = true;
}

void TerminalDisplay::phaseChanged(const UnitRun&)
{
    m_dirty = true;
}

void TerminalDisplay::progress(const UnitRun&)
{
    m_dirty = true;
}

void TerminalDisplay::logLine(const UnitRun& unit, const QString& text, bool)
{
    if (!m_verbose)
        return;
    m_scrolling << unit.label + QStringLiteral("  | ") + TextFormat::escaped(text);
    m_dirty = true;
}

void TerminalDisplay::retryScheduled(const UnitRun& unit, std::chrono::milliseconds delay)
{
    m_scrolling << unit.label + QStringLiteral("  ") + SummaryTable::attemptEnd(unit, delay);
    m_dirty = true;
}

void TerminalDisplay::updateFinished(const UnitRun& unit)
{
    QString line = unit.label + QStringLiteral("  ");
    if (m_runner.plan().repeat > 1 && unit.update > 0)
        line += QStringLiteral("update %1/%2  ").arg(unit.update).arg(m_runner.plan().repeat);
    line += SummaryTable::updateEnd(unit);
    m_scrolling << line;
    m_dirty = true;
}

QString TerminalDisplay::liveLine(int unit, int columns) const
{
    const UnitRun& run = m_runner.units()[size_t(unit)];
    QString line = run.label.leftJustified(m_labelWidth) + QStringLiteral("  ") +
                   UpdateJob::phaseName(run.phase).leftJustified(11);
    const double fraction =
        run.fileSize > 0 ? std::clamp(double(run.bytes) / double(run.fileSize), 0.0, 1.0) : 0.0;
    const int filled = int(fraction * BarWidth);
    line += u'[' + QString(filled, u'#') + QString(BarWidth - filled, u'.') + u']';
    line += QStringLiteral(" %1%").arg(int(fraction * 100), 3);
    if (run.phase == UpdateJob::Phase::Streaming && run.sinceConnected.isValid() && run.records > 0) {
        const double seconds = double(run.sinceConnected.nsecsElapsed()) / 1e9;
        if (seconds > 0) {
            line += QStringLiteral("  %1 rec/s")
                        .arg(QLocale::c().toString(qint64(double(run.records) / seconds)));
            const double bytesPerSecond = double(run.bytes) / seconds;
            if (bytesPerSecond > 0)
                line += QStringLiteral("  ") + timeLeft(double(run.fileSize - run.bytes) / bytesPerSecond);
        }
    }
    if (m_runner.plan().repeat > 1)
        line += QStringLiteral("  update %1/%2").arg(run.update).arg(m_runner.plan().repeat);
    return fitted(line, columns);
}

QStringList TerminalDisplay::liveLines(int columns, int rows) const
{
    QList<int> running;
    int waiting = 0;
    int ended = 0;
    const auto& units = m_runner.units();
    for (size_t i = 0; i < units.size(); ++i) {
        switch (units[i].state) {
        case UnitRun::State::Waiting:
            ++waiting;
            break;
        case UnitRun::State::Running:
            running << int(i);
            break;
        case UnitRun::State::Ended:
            ++ended;
            break;
        }
    }
    QStringList lines;
    // The cursor rests on the row below the live lines. Were they as many as the rows, the first
    // would scroll off the screen, where the cursor cannot go back to clear it.
    const int room = rows - 1;
    if (room < 1)
        return lines;
    if (running.size() + 1 <= room) {
        for (int unit : std::as_const(running))
            lines << liveLine(unit, columns);
    } else if (room >= 2) {
        const int shown = room - 2;
        for (int i = 0; i < shown; ++i)
            lines << liveLine(running.at(i), columns);
        lines << fitted(QStringLiteral("... and %1 more running").arg(running.size() - shown), columns);
    }
    lines << fitted(
        QStringLiteral("%1 running, %2 waiting, %3 done").arg(running.size()).arg(waiting).arg(ended),
        columns);
    return lines;
}

void TerminalDisplay::redraw()
{
    int columns = 80;
    int rows = 24;
    terminalSize(&columns, &rows);
    QString text;
    if (m_drawnLines > 0)
        text += QStringLiteral("\r\x1b[%1A").arg(m_drawnLines); // back to the first live line
    text += QStringLiteral("\x1b[J");                           // and clear from there down
    for (const QString& line : std::as_const(m_scrolling))
        text += line + u'\n';
    m_scrolling.clear();
    const QStringList live = liveLines(columns, rows);
    for (const QString& line : live)
        text += line + u'\n';
    m_drawnLines = int(live.size());
    m_dirty = false;
    ConsoleOutput::out(text);
}

void TerminalDisplay::clearForMessage()
{
    if (m_drawnLines == 0)
        return;
    ConsoleOutput::out(QStringLiteral("\r\x1b[%1A\x1b[J").arg(m_drawnLines));
    m_drawnLines = 0;
    m_dirty = true;
}

void TerminalDisplay::writeSummary()
{
    m_tick.stop();
    clearForMessage();
    QString text;
    for (const QString& line : std::as_const(m_scrolling))
        text += line + u'\n';
    m_scrolling.clear();
    ConsoleOutput::out(text + u'\n' + SummaryTable::render(m_runner) + SummaryTable::runLine(runId()));
}

void TerminalDisplay::warn(const QString& message)
{
    if (m_drawnLines > 0)
        ConsoleOutput::out(QStringLiteral("\r\x1b[%1A\x1b[J").arg(m_drawnLines));
    m_drawnLines = 0;
    m_dirty = true;
    ConsoleOutput::warn(message);
}
