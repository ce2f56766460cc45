#include "history/UpdateLog.h"

#include <QLocale>

void UpdateLog::append(const QString& line, bool debug)
{
    if (debug) {
        if (m_debugKept >= m_debugLimit) {
            ++m_debugLeftOut;
            return;
        }
        ++m_debugKept;
    }
    if (!m_text.isEmpty())
        m_text += QLatin1Char('\n');
    // One entry per line: a line break inside would read as two lines later.
    QString flat = line;
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    m_text += flat;
}

QString UpdateLog::text() const
{
    if (m_debugLeftOut == 0)
        return m_text;
    const QLocale english(QLocale::English);
    return m_text + (m_text.isEmpty() ? QString() : QStringLiteral("\n")) +
           QStringLiteral("(%1 more Debug lines left out: the history keeps the first %2.)")
               .arg(english.toString(m_debugLeftOut), english.toString(m_debugLimit));
}
