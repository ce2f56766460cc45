#include "history/HistoryFilterText.h"

#include "engine/HostPortText.h"
#include "engine/UpdateResult.h"
#include "history/HistoryTime.h"
#include "history/LineText.h"

#include <QRegularExpression>

namespace HistoryFilterText {

bool parseUnit(const QString& text, HistoryFilter* filter, QString* error)
{
    HostPortText split;
    if (!HostPortText::split(text, &split, error))
        return false;
    const QString host = split.host;
    const QString port = split.port;
    if (host.isEmpty()) {
        *error = QStringLiteral("no host name or address");
        return false;
    }
    for (const QChar c : host) {
        if (c.isSpace() || c.category() == QChar::Other_Control) {
            *error = QStringLiteral("a host name has no spaces or control characters");
            return false;
        }
    }
    int number = 0;
    if (!port.isEmpty()) {
        bool ok = false;
        number = port.toInt(&ok);
        if (!ok || number < 1 || number > 65535 || port.startsWith(u'+')) {
            *error = QStringLiteral("port \"%1\" is not a whole number from 1 to 65535").arg(port);
            return false;
        }
    }
    filter->unitHost = host;
    filter->unitPort = number;
    return true;
}

namespace {

bool parseBound(const QString& text, HistoryTime::Bound bound, QDateTime* time, QString* error)
{
    *time = HistoryTime::parseBound(text.trimmed(), bound);
    if (!time->isValid()) {
        *error = QStringLiteral("give a date (2026-12-08) or a date and time (2026-12-08T03:05:40, UTC "
                                "unless it names an offset)");
        return false;
    }
    return true;
}

} // namespace

bool parseSince(const QString& text, HistoryFilter* filter, QString* error)
{
    return parseBound(text, HistoryTime::Bound::Since, &filter->since, error);
}

bool parseUntil(const QString& text, HistoryFilter* filter, QString* error)
{
    return parseBound(text, HistoryTime::Bound::Until, &filter->until, error);
}

bool parseOutcome(const QString& text, HistoryFilter* filter, QString* error)
{
    const QString name = text.trimmed().toLower();
    if (!outcomeNames().contains(name)) {
        *error = QStringLiteral("not an outcome; one of ") + outcomeNames().join(QStringLiteral(", "));
        return false;
    }
    filter->outcome = name;
    return true;
}

bool parseSha256Prefix(const QString& text, HistoryFilter* filter, QString* error)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{1,64}$"));
    const QString prefix = text.trimmed();
    if (!hex.match(prefix).hasMatch()) {
        *error = QStringLiteral("give the first hex digits of a SHA-256 (1 to 64)");
        return false;
    }
    filter->sha256Prefix = prefix.toLower();
    return true;
}

namespace {

bool parseLineText(const QString& text, QString* target, const QString& what, QString* error)
{
    const QString checked = LineText::checked(text);
    if (checked.isEmpty()) {
        *error =
            QStringLiteral("a %1 is printable text of 1 to %2 characters").arg(what).arg(LineText::MaxLength);
        return false;
    }
    *target = checked;
    return true;
}

bool parseName(const QString& text, const QRegularExpression& pattern, QString* target, const QString& why,
               QString* error)
{
    const QString name = text.trimmed();
    if (!pattern.match(name).hasMatch()) {
        *error = why;
        return false;
    }
    *target = name;
    return true;
}

} // namespace

bool parseSerial(const QString& text, HistoryFilter* filter, QString* error)
{
    return parseLineText(text, &filter->serial, QStringLiteral("serial number"), error);
}

bool parseLot(const QString& text, HistoryFilter* filter, QString* error)
{
    return parseLineText(text, &filter->lot, QStringLiteral("lot"), error);
}

bool parseFixture(const QString& text, HistoryFilter* filter, QString* error)
{
    // The rule of the fixtures file (fleet/FixtureFile), which the history does not link.
    static const QRegularExpression name(QStringLiteral("\\A[A-Za-z0-9._-]{1,32}\\z"));
    return parseName(text, name, &filter->fixture,
                     QStringLiteral("a fixture's name is 1 to 32 letters, digits, '.', '_' or '-'"), error);
}

bool parseRunId(const QString& text, HistoryFilter* filter, QString* error)
{
    static const QRegularExpression id(QStringLiteral("\\A[0-9A-Fa-f]{12}\\z"));
    if (!parseName(text, id, &filter->runId, QStringLiteral("a run's id is 12 hex digits"), error))
        return false;
    filter->runId = filter->runId.toLower();
    return true;
}

bool checkRange(const HistoryFilter& filter, QString* error)
{
    if (filter.since.isValid() && filter.until.isValid() && filter.since > filter.until) {
        *error = QStringLiteral("the start of the period is later than its end: no update can match");
        return false;
    }
    return true;
}

QStringList outcomeNames()
{
    QStringList names;
    for (int i = int(UpdateOutcome::Succeeded); i <= int(UpdateOutcome::Cancelled); ++i)
        names << outcomeName(UpdateOutcome(i));
    names << QStringLiteral("interrupted") << QStringLiteral("running") << QStringLiteral("abandoned");
    return names;
}

} // namespace HistoryFilterText
