#include "cli/SummaryTable.h"

#include "engine/TextFormat.h"
#include "fleet/UpdateRunner.h"

#include <QLocale>
#include <QStringList>

#include <algorithm>

namespace SummaryTable {

QString duration(qint64 ms)
{
    if (ms < 60000)
        return QString::number(double(ms) / 1000.0, 'f', 1) + QStringLiteral(" s");
    const qint64 s = ms / 1000;
    if (s < 3600)
        return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 h %2 min").arg(s / 3600).arg((s % 3600) / 60, 2, 10, QLatin1Char('0'));
}

QString render(const UpdateRunner& runner)
{
    const QLocale c = QLocale::c();
    const bool repeating = runner.plan().repeat > 1;
    const auto& units = runner.units();

    QStringList header{QStringLiteral("Unit"), QStringLiteral("Outcome")};
    if (repeating)
        header << QStringLiteral("Updates");
    header << QStringLiteral("Records") << QStringLiteral("Time");
    QList<QStringList> rows{header};
    QStringList reasons{QString()};
    for (const UnitRun& run : units) {
        QStringList row{run.label, run.outcome()};
        if (repeating)
            row << QStringLiteral("%1/%2").arg(run.updatesSucceeded).arg(runner.plan().repeat);
        row << c.toString(run.recordsTotal) << duration(run.elapsedMs);
        rows << row;
        reasons << (run.succeeded() || !run.lastResult ? QString()
                                                       : TextFormat::escaped(run.lastResult->reason));
    }

    QList<qsizetype> widths(header.size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row.at(i).size());

    QString text;
    for (qsizetype r = 0; r < rows.size(); ++r) {
        QStringList cells;
        for (qsizetype i = 0; i < rows[r].size(); ++i) {
            const bool number = i >= 2; // right-aligned
            cells << (number ? rows[r][i].rightJustified(widths[i]) : rows[r][i].leftJustified(widths[i]));
        }
        QString line = cells.join(QStringLiteral("  "));
        if (!reasons.at(r).isEmpty())
            line += QStringLiteral("  ") + reasons.at(r);
        text += line.trimmed() + u'\n';
    }

    QStringList counts;
    QMap<QString, int> perUnit;
    for (const UnitRun& run : units)
        ++perUnit[run.outcome()];
    for (auto it = perUnit.cbegin(); it != perUnit.cend(); ++it)
        counts << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    text += QStringLiteral("%1 unit%2: %3; %4 in all\n")
                .arg(units.size())
                .arg(units.size() == 1 ? QString() : QStringLiteral("s"))
                .arg(counts.join(QStringLiteral(", ")))
                .arg(duration(runner.elapsedMs()));
    return text;
}

} // namespace SummaryTable

QString SummaryTable::attemptEnd(const UnitRun& run, std::chrono::milliseconds delay)
{
    return QStringLiteral("%1: %2; attempt %3 in %4")
        .arg(outcomeName(run.lastResult->outcome), TextFormat::escaped(run.lastResult->reason))
        .arg(run.attempt + 1)
        .arg(duration(delay.count()));
}

QString SummaryTable::updateEnd(const UnitRun& run)
{
    QString line = run.outcome();
    if (run.update > 0)
        line += QStringLiteral(", %1 records in %2")
                    .arg(QLocale::c().toString(run.lastResult->recordsSent),
                         duration(run.lastResult->elapsed.count()));
    if (!run.lastResult->succeeded() && !run.lastResult->reason.isEmpty())
        line += QStringLiteral(": ") + TextFormat::escaped(run.lastResult->reason);
    return line;
}

QString SummaryTable::runLine(const QString& runId)
{
    return runId.isEmpty() ? QString() : QStringLiteral("run %1\n").arg(runId);
}
