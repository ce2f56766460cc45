#pragma once

#include "history/AuditEntry.h"
#include "history/HistoryError.h"
#include "history/UpdateRecord.h"

#include <QList>

#include <optional>

// What the history's reads return: the value, or the error that stopped them.
struct HistoryRows
{
    QList<UpdateRecord> rows;
    HistoryError error;
};

struct HistoryRow
{
    std::optional<UpdateRecord> record; // empty when there is no such id
    HistoryError error;
};

struct HistoryPruned
{
    qint64 removed = 0;
    HistoryError error;
};

struct AuditRows
{
    QList<AuditEntry> entries;
    HistoryError error;
};
