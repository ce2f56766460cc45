#pragma once

#include "history/AuditFilter.h"
#include "history/HistoryFilter.h"

class QCommandLineOption;
class QCommandLineParser;

#include <QDateTime>
#include <QString>
#include <QStringList>

// `uploader-cli history ...`: reads the update history. Lists the latest updates (a table, JSON
// Lines or CSV) with filters, shows one update with its log, removes old rows, or sends what waits
// in this computer's journal to a shared history; or lists the stations' audit. Reading never creates a
// history: one that does not exist reads as empty. A shared history's rows come with this computer's waiting
// ones.
class HistoryCommand
{
public:
    enum class Format
    {
        Table,
        Json,
        Csv,
    };
    enum class Action
    {
        List,
        Show,
        Prune,
        Forward,
        Audit,
        Help,
    };

    // The arguments after the program name and "history". False with a one-line error for a
    // usage error.
    bool parse(const QStringList& arguments, QString* error);
    // Prints to standard output; problems go to standard error. The exit code: 0, or 1 when the
    // history cannot be read (or has no such update).
    int run() const;

    static QString helpText();
    // The names --outcome accepts: the engine's outcomes, "interrupted", "running", "abandoned".
    static QStringList outcomeNames();

    Action action() const { return m_action; }
    const HistoryFilter& filter() const { return m_filter; }
    const AuditFilter& auditFilter() const { return m_auditFilter; }
    Format format() const { return m_format; }

private:
    bool parseAudit(const QCommandLineParser& parser, const QCommandLineOption& since,
                    const QCommandLineOption& until, const QCommandLineOption& token,
                    const QCommandLineOption& limit, QString* error);
    int list() const;
    int show() const;
    int prune() const;
    int forward() const;
    int audit() const;

    Action m_action = Action::List;
    QString m_location; // --history as typed; empty for UPLOADER_HISTORY or the default
    HistoryFilter m_filter;
    AuditFilter m_auditFilter;
    Format m_format = Format::Table;
    qint64 m_showId = 0;
    QDateTime m_pruneBefore;
    QString m_pruneText;
};
