#include "ui/LogList.h"

#include <QListWidget>

#include <algorithm>
#include <utility>

LogList::LogList(QListWidget* widget, QObject* parent) : QObject(parent), m_widget(widget)
{
    m_frame.setSingleShot(true);
    m_frame.setTimerType(Qt::PreciseTimer);
    connect(&m_frame, &QTimer::timeout, this, &LogList::flush);
}

void LogList::setCoalescing(bool on)
{
    if (m_coalescing == on)
        return;
    m_coalescing = on;
    if (!on)
        flush();
}

// Starts holding changes back: the log as written is the widget's until then.
void LogList::hold()
{
    if (hasPending())
        return;
    m_count = m_widget->count();
    m_current = m_widget->currentRow();
    m_frame.start(FrameMs);
}

void LogList::append(const QString& line)
{
    if (!m_coalescing) {
        flush();
        m_widget->addItem(line);
        return;
    }
    hold();
    m_pending.push_back({true, line});
    ++m_count;
}

void LogList::clear()
{
    flush();
    m_widget->clear();
}

int LogList::count() const
{
    return hasPending() ? m_count : m_widget->count();
}

void LogList::removeFirst()
{
    if (!m_coalescing) {
        flush();
        delete m_widget->takeItem(0);
        return;
    }
    if (count() == 0)
        return;
    hold();
    m_pending.push_back({false, QString()});
    --m_count;
    // As the widget does it: rows after the first move up; a current first row hands over to the
    // line that takes its place, if there is one.
    if (m_current > 0)
        --m_current;
    else if (m_current == 0 && m_count == 0)
        m_current = -1;
}

int LogList::currentRow() const
{
    return hasPending() ? m_current : m_widget->currentRow();
}

void LogList::select(int row)
{
    if (!m_coalescing) {
        flush();
        m_widget->setCurrentRow(row);
        if (QListWidgetItem* item = m_widget->item(row))
            m_widget->scrollToItem(item);
        return;
    }
    hold();
    // As setCurrentRow: a row that does not exist leaves no line current.
    m_current = row >= 0 && row < m_count ? row : -1;
    m_selectPending = true;
}

void LogList::flush()
{
    m_frame.stop();
    if (!hasPending())
        return;
    std::vector<Change> pending;
    pending.swap(m_pending);
    const bool selectPending = std::exchange(m_selectPending, false);
    const int current = m_current;

    // Lines go in at the end and out at the front, so whatever the order of the changes, the log
    // ends as the widget's rows followed by the new lines, less as many first rows as were removed.
    // One removal and one insertion of many rows cost the widget about what one row costs.
    QStringList lines;
    lines.reserve(qsizetype(pending.size()));
    int removals = 0;
    for (Change& change : pending) {
        if (change.append)
            lines << std::move(change.line);
        else
            ++removals;
    }
    const int rows = m_widget->count();
    if (removals >= rows) {
        m_widget->clear();
        lines.remove(0, std::min<qsizetype>(removals - rows, lines.size()));
    } else if (removals > 0) {
        m_widget->model()->removeRows(0, removals);
    }
    m_widget->addItems(lines);
    if (selectPending || m_widget->currentRow() != current) {
        // Removals one at a time would have moved the current row along; one removal of many
        // rows may leave it elsewhere.
        m_widget->setCurrentRow(current);
    }
    if (selectPending) {
        // The engine selects the line it wrote last, every time: scrolling once to the final
        // selection ends where scrolling to each one in turn would have.
        if (QListWidgetItem* item = m_widget->item(current))
            m_widget->scrollToItem(item);
    }
}
