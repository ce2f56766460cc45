#include "engine/ElapsedFormat.h"

#include <cmath>

namespace ElapsedFormat {

qint64 milliseconds(double startSeconds, double nowSeconds)
{
    return qint64(std::floor((nowSeconds - startSeconds) * 1000.0 + 0.5));
}

QString thousands(qint64 ms, const QLocale& locale)
{
    QLocale grouped = locale;
    grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
    return grouped.toString(ms);
}

QString seconds(double elapsedSeconds)
{
    return QString::number(qint64(std::round(elapsedSeconds + 0.5))) + QStringLiteral(" seconds.");
}

} // namespace ElapsedFormat
