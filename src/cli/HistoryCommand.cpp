#include "cli/HistoryCommand.h"

#include "engine/UpdateResult.h"
#include "history/HistoryFilterText.h"
#include "history/HistoryFormat.h"
#include "history/HistoryLocation.h"
#include "history/HistoryReader.h"
#include "history/HistoryTime.h"
#include "history/JournalForwarding.h"
#include "process/ConsoleOutput.h"

#include <QCommandLineParser>
#include <QJsonDocument>

#include <algorithm>

namespace {

constexpr int ExitFailed = 1;
constexpr int ForwardBusyTimeoutMs = 10000;

// "--since \"x\": why", the way every usage error names the option and the text.
bool check(bool ok, const QString& option, const QString& text, const QString& why, QString* error)
{
    if (!ok)
        *error = QStringLiteral("--%1 \"%2\": %3").arg(option, text, why);
    return ok;
}

} // namespace

QStringList HistoryCommand::outcomeNames()
{
    return HistoryFilterText::outcomeNames();
}

QString HistoryCommand::helpText()
{
    return QStringLiteral(
               "Usage: uploader-cli history [options]\n"
               "Prints the latest recorded updates, latest first.\n"
               "\n"
               "  --history URL          the history to read (default: $UPLOADER_HISTORY, else\n"
               "                         %1)\n"
               "  --unit HOST[:PORT]     only this unit (any port when none is given)\n"
               "  --since DATE           only updates started on or after DATE (YYYY-MM-DD, or\n"
               "                         YYYY-MM-DDTHH:MM:SS; UTC unless an offset is given)\n"
               "  --until DATE           only updates started on or before DATE (a date alone\n"
               "                         includes that whole day)\n"
               "  --outcome NAME         only this outcome: %2\n"
               "  --sha256 PREFIX        only firmware whose SHA-256 starts with PREFIX\n"
               "  --serial S             only the unit with this serial number\n"
               "  --lot L                only this lot or work order\n"
               "  --fixture NAME         only updates at this station fixture\n"
               "  --run ID               only the updates of this station run\n"
               "  --signer NAME          only firmware signed by NAME (its allowed-signers principal)\n"
               "  --limit N              at most N updates (default 50)\n"
               "  --json                 one JSON object per update and line\n"
               "  --csv                  CSV: a header line, then one line per update\n"
               "  --show ID              one update in full, with its log\n"
               "  --prune-before DATE    remove the updates that started before DATE (not running\n"
               "                         ones) and print how many\n"
               "  --forward              send the updates this computer recorded for a shared\n"
               "                         (PostgreSQL) history and that it does not have yet; print\n"
               "                         how many went and how many wait\n"
               "  --audit                the stations' audit instead of the updates: the requests\n"
               "                         that changed something (or were refused), latest first;\n"
               "                         with --since, --until, --limit (default 100), --json,\n"
               "                         --csv and --token\n"
               "  --token NAME           with --audit: only the requests made with this token\n"
               "\n"
               "Updates recorded on this computer that a shared history does not have yet are\n"
               "listed too; their ID ends in '*'.\n"
               "\n"
               "Exit status: 0 done, 1 the history cannot be read or written (or has no such update),\n"
               "2 usage error.\n")
        .arg(HistoryLocation::defaultFile(), outcomeNames().join(QStringLiteral(", ")));
}

bool HistoryCommand::parse(const QStringList& arguments, QString* error)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption history(QStringLiteral("history"), {}, QStringLiteral("URL"));
    const QCommandLineOption unit(QStringLiteral("unit"), {}, QStringLiteral("HOST[:PORT]"));
    const QCommandLineOption since(QStringLiteral("since"), {}, QStringLiteral("DATE"));
    const QCommandLineOption until(QStringLiteral("until"), {}, QStringLiteral("DATE"));
    const QCommandLineOption outcome(QStringLiteral("outcome"), {}, QStringLiteral("NAME"));
    const QCommandLineOption sha256(QStringLiteral("sha256"), {}, QStringLiteral("PREFIX"));
    const QCommandLineOption serial(QStringLiteral("serial"), {}, QStringLiteral("S"));
    const QCommandLineOption lot(QStringLiteral("lot"), {}, QStringLiteral("L"));
    const QCommandLineOption fixture(QStringLiteral("fixture"), {}, QStringLiteral("NAME"));
    const QCommandLineOption run(QStringLiteral("run"), {}, QStringLiteral("ID"));
    const QCommandLineOption signer(QStringLiteral("signer"), {}, QStringLiteral("NAME"));
    const QCommandLineOption limit(QStringLiteral("limit"), {}, QStringLiteral("N"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption csv(QStringLiteral("csv"));
    const QCommandLineOption show(QStringLiteral("show"), {}, QStringLiteral("ID"));
    const QCommandLineOption pruneBefore(QStringLiteral("prune-before"), {}, QStringLiteral("DATE"));
    const QCommandLineOption forward(QStringLiteral("forward"));
    const QCommandLineOption audit(QStringLiteral("audit"));
    const QCommandLineOption token(QStringLiteral("token"), {}, QStringLiteral("NAME"));
    const QCommandLineOption help(QStringList{QStringLiteral("help"), QStringLiteral("h")});
    parser.addOptions({history, unit,  since, until, outcome, sha256,      serial,  lot,   fixture, run,
                       signer,  limit, json,  csv,   show,    pruneBefore, forward, audit, token,   help});

    // QCommandLineParser takes the program's name first.
    if (!parser.parse(QStringList{QStringLiteral("uploader-cli history")} + arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(help)) {
        m_action = Action::Help;
        return true;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("history takes options only, not \"%1\"")
                     .arg(parser.positionalArguments().first());
        return false;
    }
    for (const QCommandLineOption* single :
         {&history, &unit, &since, &until, &outcome, &sha256, &serial, &lot, &fixture, &run, &signer, &limit,
          &show, &pruneBefore, &token}) {
        if (parser.values(*single).size() > 1) {
            *error = QStringLiteral("--%1 given more than once").arg(single->names().first());
            return false;
        }
    }
    if (parser.isSet(history)) {
        m_location = parser.value(history).trimmed();
        const HistoryLocation parsed = HistoryLocation::parse(m_location);
        if (!parsed.isValid()) {
            *error = QStringLiteral("--history: ") + parsed.error();
            return false;
        }
    } else if (!HistoryLocation::resolve({}).isValid()) {
        *error = QStringLiteral("UPLOADER_HISTORY: ") + HistoryLocation::resolve({}).error();
        return false;
    }
    if (parser.isSet(json) && parser.isSet(csv)) {
        *error = QStringLiteral("--json and --csv: choose one");
        return false;
    }
    m_format = parser.isSet(json) ? Format::Json : parser.isSet(csv) ? Format::Csv : Format::Table;

    const bool filtered = parser.isSet(unit) || parser.isSet(since) || parser.isSet(until) ||
                          parser.isSet(outcome) || parser.isSet(sha256) || parser.isSet(serial) ||
                          parser.isSet(lot) || parser.isSet(fixture) || parser.isSet(run) ||
                          parser.isSet(signer) || parser.isSet(limit);
    if (parser.isSet(audit))
        return parseAudit(parser, since, until, token, limit, error);
    if (parser.isSet(token)) {
        *error = QStringLiteral("--token selects audit entries: use it with --audit");
        return false;
    }
    if (int(parser.isSet(show)) + int(parser.isSet(pruneBefore)) + int(parser.isSet(forward)) > 1) {
        *error = QStringLiteral("--show, --prune-before and --forward: choose one");
        return false;
    }
    if (parser.isSet(forward)) {
        if (filtered || m_format != Format::Table) {
            *error = QStringLiteral("--forward sends everything that waits: it takes no filters and no "
                                    "--json or --csv");
            return false;
        }
        if (HistoryLocation::resolve(m_location).isOwnJournal()) {
            *error = QStringLiteral("--forward is for a shared (PostgreSQL) history: an SQLite history "
                                    "is written directly and nothing waits for it");
            return false;
        }
        m_action = Action::Forward;
        return true;
    }
    if (parser.isSet(show)) {
        bool ok = false;
        m_showId = parser.value(show).toLongLong(&ok);
        if (!ok || m_showId < 1) {
            *error = QStringLiteral("--show \"%1\": give an update's ID (a whole number, see the ID column)")
                         .arg(parser.value(show));
            return false;
        }
        if (filtered || m_format == Format::Csv) {
            *error = QStringLiteral("--show prints one update: it takes no filters and no --csv");
            return false;
        }
        m_action = Action::Show;
        return true;
    }
    if (parser.isSet(pruneBefore)) {
        if (filtered || m_format != Format::Table) {
            *error = QStringLiteral(
                "--prune-before removes by date only: it takes no filters and no --json or --csv");
            return false;
        }
        m_pruneText = parser.value(pruneBefore);
        HistoryFilter bound;
        QString why;
        if (!check(HistoryFilterText::parseSince(m_pruneText, &bound, &why), QStringLiteral("prune-before"),
                   m_pruneText, why, error))
            return false;
        m_pruneBefore = bound.since;
        m_action = Action::Prune;
        return true;
    }

    m_action = Action::List;
    QString why;
    const auto filterOption = [&](const QCommandLineOption& option,
                                  bool (*parseText)(const QString&, HistoryFilter*, QString*)) {
        if (!parser.isSet(option))
            return true;
        const QString text = parser.value(option);
        return check(parseText(text, &m_filter, &why), option.names().first(), text, why, error);
    };
    if (!filterOption(unit, HistoryFilterText::parseUnit) ||
        !filterOption(since, HistoryFilterText::parseSince) ||
        !filterOption(until, HistoryFilterText::parseUntil) ||
        !filterOption(outcome, HistoryFilterText::parseOutcome) ||
        !filterOption(sha256, HistoryFilterText::parseSha256Prefix) ||
        !filterOption(serial, HistoryFilterText::parseSerial) ||
        !filterOption(lot, HistoryFilterText::parseLot) ||
        !filterOption(fixture, HistoryFilterText::parseFixture) ||
        !filterOption(run, HistoryFilterText::parseRunId))
        return false;
    m_filter.signer = parser.value(signer).trimmed();
    if (parser.isSet(signer) && m_filter.signer.isEmpty()) {
        *error = QStringLiteral("--signer: name the signer (the principal of its allowed-signers line)");
        return false;
    }
    if (!HistoryFilterText::checkRange(m_filter, &why)) {
        *error = QStringLiteral("--since and --until: ") + why;
        return false;
    }
    if (parser.isSet(limit)) {
        bool ok = false;
        m_filter.limit = parser.value(limit).toInt(&ok);
        if (!ok || m_filter.limit < 1) {
            *error =
                QStringLiteral("--limit \"%1\": give a whole number of 1 or more").arg(parser.value(limit));
            return false;
        }
    }
    return true;
}

bool HistoryCommand::parseAudit(const QCommandLineParser& parser, const QCommandLineOption& since,
                                const QCommandLineOption& until, const QCommandLineOption& token,
                                const QCommandLineOption& limit, QString* error)
{
    QStringList others;
    for (const QString& name : {QStringLiteral("unit"), QStringLiteral("outcome"), QStringLiteral("sha256"),
                                QStringLiteral("serial"), QStringLiteral("lot"), QStringLiteral("fixture"),
                                QStringLiteral("run"), QStringLiteral("signer"), QStringLiteral("show"),
                                QStringLiteral("prune-before"), QStringLiteral("forward")})
        if (parser.isSet(name))
            others << QStringLiteral("--") + name;
    if (!others.isEmpty()) {
        *error = QStringLiteral("--audit takes --since, --until, --token, --limit, --json and --csv, not %1")
                     .arg(others.join(QStringLiteral(", ")));
        return false;
    }
    m_action = Action::Audit;
    // The bounds as the updates' filters read them.
    HistoryFilter bounds;
    QString why;
    for (const QCommandLineOption* option : {&since, &until}) {
        if (!parser.isSet(*option))
            continue;
        const QString text = parser.value(*option);
        const bool ok = option == &since ? HistoryFilterText::parseSince(text, &bounds, &why)
                                         : HistoryFilterText::parseUntil(text, &bounds, &why);
        if (!check(ok, option->names().first(), text, why, error))
            return false;
    }
    if (!HistoryFilterText::checkRange(bounds, &why)) {
        *error = QStringLiteral("--since and --until: ") + why;
        return false;
    }
    m_auditFilter.since = bounds.since;
    m_auditFilter.until = bounds.until;
    m_auditFilter.token = parser.value(token).trimmed();
    if (parser.isSet(token) && m_auditFilter.token.isEmpty()) {
        *error = QStringLiteral("--token: name the token (as the station's token file names it)");
        return false;
    }
    if (parser.isSet(limit)) {
        bool ok = false;
        m_auditFilter.limit = parser.value(limit).toInt(&ok);
        if (!ok || m_auditFilter.limit < 1) {
            *error =
                QStringLiteral("--limit \"%1\": give a whole number of 1 or more").arg(parser.value(limit));
            return false;
        }
    }
    return true;
}

int HistoryCommand::run() const
{
    switch (m_action) {
    case Action::Help:
        ConsoleOutput::out(helpText());
        return 0;
    case Action::Show:
        return show();
    case Action::Prune:
        return prune();
    case Action::Forward:
        return forward();
    case Action::Audit:
        return audit();
    case Action::List:
        break;
    }
    return list();
}

int HistoryCommand::list() const
{
    const HistoryLocation where = HistoryLocation::resolve(m_location);
    const HistoryRows result = HistoryReader::list(where, m_filter);
    // What waits on this computer is shown even when the shared history cannot be read.
    if (!result.error.ok() && result.rows.isEmpty()) {
        ConsoleOutput::error(result.error.message);
        return ExitFailed;
    }
    const bool waiting = std::any_of(result.rows.cbegin(), result.rows.cend(),
                                     [](const UpdateRecord& r) { return r.waiting; });
    switch (m_format) {
    case Format::Table:
        ConsoleOutput::out(result.rows.isEmpty() ? QStringLiteral("No updates recorded that match.\n")
                                                 : HistoryFormat::table(result.rows));
        if (waiting)
            ConsoleOutput::out(QStringLiteral("* recorded on this computer, not yet in the history at %1 "
                                              "(uploader-cli history --forward sends it)\n")
                                   .arg(where.display()));
        break;
    case Format::Json: {
        QByteArray out;
        for (const UpdateRecord& record : result.rows)
            out += QJsonDocument(HistoryFormat::json(record)).toJson(QJsonDocument::Compact) + '\n';
        ConsoleOutput::write(stdout, out);
        break;
    }
    case Format::Csv:
        ConsoleOutput::out(HistoryFormat::csv(result.rows));
        break;
    }
    if (!result.error.ok()) {
        ConsoleOutput::error(result.error.message +
                             QStringLiteral(" Shown: the updates that wait on this computer."));
        return ExitFailed;
    }
    return 0;
}

int HistoryCommand::show() const
{
    const HistoryLocation where = HistoryLocation::resolve(m_location);
    const HistoryRow result = HistoryReader::byId(where, m_showId);
    if (!result.error.ok()) {
        ConsoleOutput::error(result.error.message);
        return ExitFailed;
    }
    if (!result.record) {
        ConsoleOutput::error(
            QStringLiteral("no update with ID %1 in the history at %2").arg(m_showId).arg(where.display()));
        return ExitFailed;
    }
    if (m_format == Format::Json)
        ConsoleOutput::write(
            stdout,
            QJsonDocument(HistoryFormat::json(*result.record, true)).toJson(QJsonDocument::Compact) + '\n');
    else
        ConsoleOutput::out(HistoryFormat::details(*result.record));
    return 0;
}

int HistoryCommand::prune() const
{
    const HistoryPruned result = HistoryReader::prune(HistoryLocation::resolve(m_location), m_pruneBefore);
    if (!result.error.ok()) {
        ConsoleOutput::error(result.error.message);
        return ExitFailed;
    }
    ConsoleOutput::out(QStringLiteral("Removed %1 %2 that started before %3.\n")
                           .arg(result.removed)
                           .arg(result.removed == 1 ? QStringLiteral("update") : QStringLiteral("updates"),
                                HistoryTime::format(m_pruneBefore)));
    return 0;
}

int HistoryCommand::forward() const
{
    const HistoryLocation where = HistoryLocation::resolve(m_location);
    const JournalForwarding::Result result = JournalForwarding(where, ForwardBusyTimeoutMs).forward();
    const auto updates = [](qint64 n) {
        return QStringLiteral("%1 %2").arg(n).arg(n == 1 ? QStringLiteral("update")
                                                         : QStringLiteral("updates"));
    };
    ConsoleOutput::out(QStringLiteral("%1 sent to the history at %2; %3 waiting on this computer.\n")
                           .arg(updates(result.forwarded), where.display(), updates(result.waiting)));
    if (!result.error.ok()) {
        ConsoleOutput::error(result.error.message);
        return ExitFailed;
    }
    return 0;
}

int HistoryCommand::audit() const
{
    const HistoryLocation where = HistoryLocation::resolve(m_location);
    const AuditRows result = HistoryReader::audit(where, m_auditFilter);
    if (!result.error.ok() && result.entries.isEmpty()) {
        ConsoleOutput::error(result.error.message);
        return ExitFailed;
    }
    const bool waiting = std::any_of(result.entries.cbegin(), result.entries.cend(),
                                     [](const AuditEntry& e) { return e.waiting; });
    switch (m_format) {
    case Format::Table:
        ConsoleOutput::out(result.entries.isEmpty()
                               ? QStringLiteral("No audit entries recorded that match.\n")
                               : HistoryFormat::auditTable(result.entries));
        if (waiting)
            ConsoleOutput::out(QStringLiteral("* recorded on this computer, not yet in the history at %1\n")
                                   .arg(where.display()));
        break;
    case Format::Json: {
        QByteArray out;
        for (const AuditEntry& entry : result.entries)
            out += QJsonDocument(HistoryFormat::auditJson(entry)).toJson(QJsonDocument::Compact) + '\n';
        ConsoleOutput::write(stdout, out);
        break;
    }
    case Format::Csv:
        ConsoleOutput::out(HistoryFormat::auditCsv(result.entries));
        break;
    }
    if (!result.error.ok()) {
        ConsoleOutput::error(result.error.message +
                             QStringLiteral(" Shown: the audit entries that wait on this computer."));
        return ExitFailed;
    }
    return 0;
}
