#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <vector>

class QListWidget;

// The log list under Load and Start, as the upload engine writes it.
//
// A list widget lays out all of its rows again after every change, and scrolling to a row makes
// it do so at once. For a Debug log of thousands of lines that costs far more than sending a
// record, so while coalescing (the window turns it on while records stream) lines, removals and
// the selection are held back and reach the widget together, at most FrameMs later: the log
// moves 10 times a second rather than once a record.
// What is held back reaches the widget as one removal of first rows and one insertion of lines at
// the end, and the final rows, current row and scroll position are those the changes made one at a
// time would give. Without coalescing every
// change goes to the widget at once, after whatever was held back.
//
// The queries always answer for the log as written, whether or not the widget shows it yet.
class LogList : public QObject
{
    Q_OBJECT
public:
    // Each showing lays out every row again (a Debug log holds 25,000) and repaints the visible
    // ones: about 6 ms together on the benchmark machine. Ten showings a second keep that near a
    // twentieth of the window thread's time while a Debug log streams; thirty took a fifth of it,
    // and a log scrolling thousands of lines a second reads no better at thirty.
    static constexpr int FrameMs = 100;

    explicit LogList(QListWidget* widget, QObject* parent = nullptr);

    // Turning coalescing off applies what is held back.
    void setCoalescing(bool on);
    bool isCoalescing() const { return m_coalescing; }

    void append(const QString& line);
    void clear();
    int count() const;
    // Removes the first line; nothing when the log is empty.
    void removeFirst();
    // -1 when no line is current.
    int currentRow() const;
    // Makes the line current (and selected) and scrolls it into view.
    void select(int row);

    // Applies everything held back to the widget now.
    void flush();
    bool hasPending() const { return !m_pending.empty() || m_selectPending; }

private:
    struct Change
    {
        bool append; // else: remove the first line
        QString line;
    };
    void hold();

    QListWidget* m_widget;
    QTimer m_frame;
    bool m_coalescing = false;
    std::vector<Change> m_pending;
    bool m_selectPending = false;
    // The log as written while changes are held back.
    int m_count = 0;
    int m_current = -1;
};
