#pragma once

#include <QString>

// The log of one update as the history keeps it: every line the front end showed without Debug,
// and Debug lines up to a limit, so that an update run with Debug on does not fill the disk. The
// text ends with a line that says how many Debug lines were left out, if any.
class UpdateLog
{
public:
    static constexpr qint64 defaultDebugLimit = 2000;

    explicit UpdateLog(qint64 debugLimit = defaultDebugLimit) : m_debugLimit(debugLimit) {}

    void append(const QString& line, bool debug);
    QString text() const;
    qint64 debugLinesLeftOut() const { return m_debugLeftOut; }

private:
    qint64 m_debugLimit;
    qint64 m_debugKept = 0;
    qint64 m_debugLeftOut = 0;
    QString m_text;
};
