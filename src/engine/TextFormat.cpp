#include "engine/TextFormat.h"

#include "engine/ElapsedFormat.h"

#include <QLocale>

namespace {

bool needsEscape(QChar c)
{
    const char16_t u = c.unicode();
    // C0, DEL and C1 controls, and the bidirectional overrides and isolates that reorder what
    // follows them on screen.
    return c.category() == QChar::Other_Control || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2066 && u <= 0x2069);
}

} // namespace

namespace TextFormat {

QString count(qint64 n)
{
    return ElapsedFormat::thousands(n, QLocale::c());
}

QString escaped(QStringView name)
{
    qsizetype first = 0;
    while (first < name.size() && !needsEscape(name[first]))
        ++first;
    if (first == name.size())
        return name.toString();

    QString result = name.first(first).toString();
    for (qsizetype i = first; i < name.size(); ++i) {
        const QChar c = name[i];
        if (!needsEscape(c)) {
            result += c;
            continue;
        }
        switch (c.unicode()) {
        case u'\t':
            result += u"\\t";
            break;
        case u'\n':
            result += u"\\n";
            break;
        case u'\r':
            result += u"\\r";
            break;
        default:
            if (c.unicode() < 0x100)
                result += u'\\' + QStringLiteral("%1").arg(c.unicode(), 3, 8, QLatin1Char('0'));
            else
                result += QStringLiteral("\\u%1")
                              .arg(c.unicode(), 4, 16, QLatin1Char('0'))
                              .toUpper()
                              .replace(QStringLiteral("\\U"), QStringLiteral("\\u"));
        }
    }
    return result;
}

} // namespace TextFormat
