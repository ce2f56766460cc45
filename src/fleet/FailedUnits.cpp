#include "fleet/FailedUnits.h"

#include "history/UpdateRecord.h"

#include <QSet>

FailedUnits FailedUnits::of(const QList<UpdateRecord>& rows)
{
    FailedUnits result;
    if (!rows.isEmpty())
        result.lot = rows.first().lot;
    QSet<QString> seen;
    QList<UnitEntry> latestFirst;
    for (const UpdateRecord& row : rows) {
        const QString key = row.unitHost + u'/' + QString::number(row.unitPort);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        ++result.unitsInRun;
        if (row.outcome != QLatin1String("succeeded"))
            latestFirst.append({UnitAddress{row.unitHost, quint16(row.unitPort)}, row.serial, row.fixture});
    }
    for (auto it = latestFirst.crbegin(); it != latestFirst.crend(); ++it)
        result.units.append(*it);
    return result;
}
