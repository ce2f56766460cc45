#include "history/LineText.h"

QString LineText::checked(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > MaxLength)
        return {};
    for (QChar c : trimmed)
        if (!c.isPrint())
            return {};
    return trimmed;
}
