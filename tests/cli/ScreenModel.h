#pragma once

#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <algorithm>

// Just enough of a terminal to replay uploader-cli's live display on: printable characters, one
// column each, wrapping at the right edge; CR; LF, scrolling at the bottom row; ESC[nA, cursor up,
// stopping at the top row as a terminal does; and ESC[J, clear from the cursor to the end of the
// screen. Rows that scroll off the top are kept. Any other control character or escape sequence
// is recorded in unexpected() and otherwise ignored.
class ScreenModel
{
public:
    ScreenModel(int columns, int rows) : m_columns(columns), m_height(rows), m_rows(rows) {}

    void feed(const QString& text)
    {
        static const QRegularExpression csi(QStringLiteral("\\x1b\\[([0-9]*)([\\x40-\\x7e])"));
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text.at(i);
            if (c == u'\x1b') {
                const QRegularExpressionMatch match = csi.match(
                    text, i, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
                const QString final = match.hasMatch() ? match.captured(2) : QString();
                if (final == u"A")
                    up(std::max(match.captured(1).toInt(), 1));
                else if (final == u"J" && match.captured(1).toInt() == 0)
                    clearToEnd();
                else
                    m_unexpected
                        << QStringLiteral("ESC %1 after \"%2\"").arg(text.mid(i + 1, 4), before(text, i));
                if (match.hasMatch())
                    i += match.capturedLength() - 1;
            } else if (c == u'\r') {
                m_column = 0;
            } else if (c == u'\n') {
                lineFeed();
            } else if (c.category() == QChar::Other_Control || (c >= u'\u202A' && c <= u'\u202E') ||
                       (c >= u'\u2066' && c <= u'\u2069')) {
                m_unexpected << QStringLiteral("U+%1 after \"%2\"")
                                    .arg(c.unicode(), 4, 16, QLatin1Char('0'))
                                    .arg(before(text, i));
            } else {
                put(c);
            }
        }
    }

    // The rows on the screen now, trailing spaces removed.
    QStringList screen() const
    {
        QStringList rows;
        for (qsizetype i = top(); i < m_rows.size(); ++i)
            rows << trimmedEnd(m_rows.at(i).text);
        return rows;
    }
    // Every line still written, scrolled off or on the screen, rows that wrapped joined; without
    // the empty rows at the bottom.
    QStringList transcript() const
    {
        QStringList lines;
        QString line;
        for (const Row& row : m_rows) {
            line += row.text;
            if (row.wrapsOn)
                continue;
            lines << trimmedEnd(line);
            line.clear();
        }
        while (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }
    // Every row that ESC[J cleared, as it was before.
    const QStringList& cleared() const { return m_cleared; }
    const QStringList& unexpected() const { return m_unexpected; }

private:
    struct Row
    {
        QString text;
        bool wrapsOn = false; // the line goes on in the next row
    };

    static QString trimmedEnd(QString text)
    {
        while (text.endsWith(u' '))
            text.chop(1);
        return text;
    }
    static QString before(const QString& text, qsizetype i)
    {
        const qsizetype from = std::max<qsizetype>(0, i - 30);
        return text.mid(from, i - from);
    }

    qsizetype top() const { return m_rows.size() - m_height; }
    Row& current() { return m_rows[top() + m_row]; }

    void put(QChar c)
    {
        if (m_column == m_columns) {
            current().wrapsOn = true;
            m_column = 0;
            lineFeed();
        }
        QString& text = current().text;
        if (text.size() <= m_column)
            text = text.leftJustified(m_column) + c;
        else
            text[m_column] = c;
        ++m_column;
    }
    void lineFeed()
    {
        if (m_row == m_height - 1)
            m_rows.append(Row{});
        else
            ++m_row;
        m_column = std::min(m_column, m_columns - 1);
    }
    void up(int n)
    {
        m_row = std::max(m_row - n, 0);
        m_column = std::min(m_column, m_columns - 1);
    }
    void clearToEnd()
    {
        for (qsizetype i = top() + m_row; i < m_rows.size(); ++i) {
            Row& row = m_rows[i];
            if (!trimmedEnd(row.text).isEmpty())
                m_cleared << trimmedEnd(row.text);
            row.text.truncate(i == top() + m_row ? m_column : 0);
            row.wrapsOn = false;
        }
    }

    int m_columns;
    int m_height;
    QList<Row> m_rows; // scrolled off, then the screen's
    int m_row = 0;     // on the screen, from the top
    int m_column = 0;  // m_columns: the next character goes on the next row
    QStringList m_cleared;
    QStringList m_unexpected;
};
