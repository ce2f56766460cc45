#include "station/HistoryApi.h"

#include "engine/UpdateResult.h"
#include "fleet/UnitAddress.h"
#include "history/HistoryFilterText.h"
#include "history/HistoryFormat.h"
#include "history/HistoryReader.h"
#include "history/HistoryTime.h"

#include <QFutureWatcher>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>

#include <tuple>

namespace {

StationError badFilter(const QString& message)
{
    return StationError(StationError::Code::BadFilter, message);
}

const QSet<QString>& knownOutcomes()
{
    static const QSet<QString> names = [] {
        QSet<QString> all{QStringLiteral("running"), QStringLiteral("abandoned"),
                          QStringLiteral("interrupted")};
        for (int o = int(UpdateOutcome::Succeeded); o <= int(UpdateOutcome::Cancelled); ++o)
            all.insert(outcomeName(UpdateOutcome(o)));
        return all;
    }();
    return names;
}

} // namespace

HistoryApi::HistoryApi(HistoryLocation location, QObject* parent)
    : QObject(parent), m_location(std::move(location))
{
}

bool HistoryApi::parseId(const QString& text, qint64* id)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
    if (!digits.match(text).hasMatch())
        return false;
    const qint64 value = text.toLongLong();
    if (value <= 0)
        return false;
    *id = value;
    return true;
}

StationResult<HistoryFilter> HistoryApi::parseFilter(const QHash<QString, QString>& query)
{
    static const QSet<QString> names{
        QStringLiteral("unit"),    QStringLiteral("since"),   QStringLiteral("until"),
        QStringLiteral("outcome"), QStringLiteral("sha256"),  QStringLiteral("serial"),
        QStringLiteral("lot"),     QStringLiteral("fixture"), QStringLiteral("run"),
        QStringLiteral("signer"),  QStringLiteral("limit")};
    for (auto it = query.cbegin(); it != query.cend(); ++it) {
        if (!names.contains(it.key())) {
            return badFilter(
                QStringLiteral("Unknown filter \"%1\"; the filters are unit, since, until, outcome, "
                               "sha256, serial, lot, fixture, run, signer and limit.")
                    .arg(it.key().left(64)));
        }
    }
    HistoryFilter result;
    result.limit = DefaultLimit;
    const QString unit = query.value(QStringLiteral("unit")).trimmed();
    if (!unit.isEmpty()) {
        // A port left out takes the default: parsing with two defaults tells whether one was given.
        UnitAddress first, second;
        QString why;
        if (!UnitAddress::parse(unit, QStringLiteral("1"), &first, &why) ||
            !UnitAddress::parse(unit, QStringLiteral("2"), &second, &why))
            return badFilter(QStringLiteral("unit: %1 (HOST, HOST:PORT or [IPV6]:PORT).").arg(why));
        result.unitHost = first.host;
        result.unitPort = first.port == second.port ? first.port : 0;
    }
    if (std::optional<StationError> error = parseBounds(query, &result.since, &result.until))
        return *error;
    result.outcome = query.value(QStringLiteral("outcome")).trimmed();
    if (!result.outcome.isEmpty() && !knownOutcomes().contains(result.outcome)) {
        QStringList known = knownOutcomes().values();
        known.sort();
        return badFilter(QStringLiteral("outcome: \"%1\" is none of %2.")
                             .arg(result.outcome.left(64), known.join(QStringLiteral(", "))));
    }
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{1,64}$"));
    const QString sha256 = query.value(QStringLiteral("sha256")).trimmed();
    if (!sha256.isEmpty() && !hex.match(sha256).hasMatch())
        return badFilter(QStringLiteral("sha256: the start of a SHA-256, 1 to 64 hex digits."));
    result.sha256Prefix = sha256.toLower();
    // Given but empty selects everything, as with the other filters.
    for (const auto& [name, parse] : {std::pair{QStringLiteral("serial"), &HistoryFilterText::parseSerial},
                                      std::pair{QStringLiteral("lot"), &HistoryFilterText::parseLot},
                                      std::pair{QStringLiteral("fixture"), &HistoryFilterText::parseFixture},
                                      std::pair{QStringLiteral("run"), &HistoryFilterText::parseRunId}}) {
        const QString text = query.value(name).trimmed();
        QString why;
        if (!text.isEmpty() && !parse(text, &result, &why))
            return badFilter(QStringLiteral("%1: %2.").arg(name, why));
    }
    result.signer = query.value(QStringLiteral("signer")).trimmed();
    if (std::optional<StationError> error = parseLimit(query, &result.limit))
        return *error;
    return result;
}

StationResult<AuditFilter> HistoryApi::parseAuditFilter(const QHash<QString, QString>& query)
{
    static const QSet<QString> names{QStringLiteral("since"), QStringLiteral("until"),
                                     QStringLiteral("token"), QStringLiteral("limit")};
    for (auto it = query.cbegin(); it != query.cend(); ++it) {
        if (!names.contains(it.key()))
            return badFilter(
                QStringLiteral("Unknown filter \"%1\"; the filters are since, until, token and limit.")
                    .arg(it.key().left(64)));
    }
    AuditFilter result;
    result.limit = DefaultAuditLimit;
    if (std::optional<StationError> error = parseBounds(query, &result.since, &result.until))
        return *error;
    result.token = query.value(QStringLiteral("token")).trimmed();
    if (std::optional<StationError> error = parseLimit(query, &result.limit))
        return *error;
    return result;
}

std::optional<StationError> HistoryApi::parseBounds(const QHash<QString, QString>& query, QDateTime* since,
                                                    QDateTime* until)
{
    for (const auto& [name, bound, target] :
         {std::tuple{QStringLiteral("since"), HistoryTime::Bound::Since, since},
          std::tuple{QStringLiteral("until"), HistoryTime::Bound::Until, until}}) {
        const QString text = query.value(name);
        if (text.isEmpty())
            continue;
        *target = HistoryTime::parseBound(text, bound);
        if (!target->isValid()) {
            return badFilter(QStringLiteral("%1: \"%2\" is no date (YYYY-MM-DD) or ISO 8601 date and time "
                                            "(2026-12-08T14:30:00Z; without an offset it is UTC).")
                                 .arg(name, text.left(64)));
        }
    }
    if (since->isValid() && until->isValid() && *since > *until)
        return badFilter(QStringLiteral("since is after until: nothing can match."));
    return std::nullopt;
}

std::optional<StationError> HistoryApi::parseLimit(const QHash<QString, QString>& query, int* limit)
{
    const QString text = query.value(QStringLiteral("limit")).trimmed();
    if (!text.isEmpty()) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
        const int value = digits.match(text).hasMatch() ? text.toInt() : 0;
        if (value < 1 || value > MaxLimit)
            return badFilter(QStringLiteral("limit: a whole number from 1 to %1.").arg(MaxLimit));
        *limit = value;
    }
    return std::nullopt;
}

StationError HistoryApi::unavailable(const QString& message)
{
    return StationError(StationError::Code::HistoryUnavailable, message);
}

template <typename Result>
void HistoryApi::replyWhenRead(const std::function<QFuture<Result>()>& read,
                               const std::function<StationResult<QJsonObject>(const Result&)>& answer,
                               StationReply<QJsonObject> reply)
{
    if (m_pending >= MaxPendingReads) {
        reply(StationError(
            StationError::Code::HistoryBusy,
            QStringLiteral("%1 reads of the history are under way; ask again shortly.").arg(m_pending)));
        return;
    }
    ++m_pending;
    // The watcher belongs to this object: when the station goes, no reply is attempted.
    auto* watcher = new QFutureWatcher<Result>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, answer, reply] {
        --m_pending;
        reply(answer(watcher->result()));
        watcher->deleteLater();
    });
    watcher->setFuture(read());
}

void HistoryApi::list(const QHash<QString, QString>& query, StationReply<QJsonObject> reply)
{
    const StationResult<HistoryFilter> filter = parseFilter(query);
    if (!filter) {
        reply(filter.error());
        return;
    }
    const HistoryLocation location = m_location;
    replyWhenRead<HistoryRows>(
        [location, filter = *filter] { return HistoryReader::listAsync(location, filter); },
        [](const HistoryRows& read) -> StationResult<QJsonObject> {
            if (!read.error.ok())
                return unavailable(read.error.message);
            QJsonArray rows;
            for (const UpdateRecord& record : read.rows)
                rows.append(HistoryFormat::json(record));
            return QJsonObject{{QStringLiteral("updates"), rows}};
        },
        std::move(reply));
}

void HistoryApi::audit(const QHash<QString, QString>& query, StationReply<QJsonObject> reply)
{
    const StationResult<AuditFilter> filter = parseAuditFilter(query);
    if (!filter) {
        reply(filter.error());
        return;
    }
    const HistoryLocation location = m_location;
    replyWhenRead<AuditRows>(
        [location, filter = *filter] { return HistoryReader::auditAsync(location, filter); },
        [](const AuditRows& read) -> StationResult<QJsonObject> {
            if (!read.error.ok())
                return unavailable(read.error.message);
            QJsonArray entries;
            for (const AuditEntry& entry : read.entries)
                entries.append(HistoryFormat::auditJson(entry));
            return QJsonObject{{QStringLiteral("entries"), entries}};
        },
        std::move(reply));
}

void HistoryApi::byId(const QString& text, StationReply<QJsonObject> reply)
{
    qint64 id = 0;
    if (!parseId(text, &id)) {
        reply(StationError(StationError::Code::BadId,
                           QStringLiteral("An update's id is a positive whole number.")));
        return;
    }
    const HistoryLocation location = m_location;
    replyWhenRead<HistoryRow>([location, id] { return HistoryReader::byIdAsync(location, id); },
                              [id](const HistoryRow& read) -> StationResult<QJsonObject> {
                                  if (!read.error.ok())
                                      return unavailable(read.error.message);
                                  if (!read.record)
                                      return StationError(
                                          StationError::Code::NotFound,
                                          QStringLiteral("The history has no update %1.").arg(id));
                                  return HistoryFormat::json(*read.record, true);
                              },
                              std::move(reply));
}
