#include "fleet/RunId.h"

#include <QRandomGenerator>

namespace RunId {

QString make()
{
    const quint64 value = QRandomGenerator::system()->generate64() & 0xffffffffffffULL;
    return QStringLiteral("%1").arg(value, 12, 16, QLatin1Char('0'));
}

bool isValid(const QString& text)
{
    if (text.size() != 12)
        return false;
    for (const QChar c : text)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    return true;
}

} // namespace RunId
