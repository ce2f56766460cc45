#include "history/HistoryTime.h"

#include <QTimeZone>

namespace HistoryTime {

QString format(const QDateTime& time)
{
    if (!time.isValid())
        return QString();
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime parseStored(const QString& text)
{
    if (text.isEmpty())
        return QDateTime();
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC() : QDateTime();
}

QDateTime parseBound(const QString& text, Bound bound)
{
    const QString trimmed = text.trimmed();
    if (trimmed.size() == 10) {
        const QDate day = QDate::fromString(trimmed, Qt::ISODate);
        if (!day.isValid())
            return QDateTime();
        if (bound == Bound::Since)
            return QDateTime(day, QTime(0, 0), QTimeZone::utc());
        return QDateTime(day, QTime(23, 59, 59, 999), QTimeZone::utc());
    }
    QDateTime time = QDateTime::fromString(trimmed, Qt::ISODateWithMs);
    if (!time.isValid())
        return QDateTime();
    if (time.timeSpec() == Qt::LocalTime)
        time.setTimeZone(QTimeZone::utc());
    return time.toUTC();
}

} // namespace HistoryTime
