#pragma once

#include "history/AuditFilter.h"
#include "history/HistoryFilter.h"
#include "history/HistoryLocation.h"
#include "history/HistoryResults.h"

#include <QFuture>

// Reads of the history for the `history` command, the window's History dialog and the station.
// Each call opens a connection of its own for its duration; a history that does not exist yet
// reads as empty (and is not created). Opening it, when it can be written, also marks rows whose
// writer died as abandoned.
//
// The plain functions block; the *Async ones run the same on a small thread pool of the history's
// own and return at once, for event loops that must not stop: e.g.
//     HistoryReader::listAsync(location, filter).then(this, [this](const HistoryRows& r) { ... });
class HistoryReader
{
public:
    static HistoryRows list(const HistoryLocation& location, const HistoryFilter& filter);
    static HistoryRow byId(const HistoryLocation& location, qint64 id); // with its log
    // Removes the rows that started before `before` and are not running; returns how many.
    static HistoryPruned prune(const HistoryLocation& location, const QDateTime& before);
    // The audit's entries, latest first, with this computer's that a shared history does not
    // have yet (marked waiting).
    static AuditRows audit(const HistoryLocation& location, const AuditFilter& filter);

    static QFuture<HistoryRows> listAsync(const HistoryLocation& location, const HistoryFilter& filter);
    static QFuture<HistoryRow> byIdAsync(const HistoryLocation& location, qint64 id);
    static QFuture<HistoryPruned> pruneAsync(const HistoryLocation& location, const QDateTime& before);
    static QFuture<AuditRows> auditAsync(const HistoryLocation& location, const AuditFilter& filter);
};
