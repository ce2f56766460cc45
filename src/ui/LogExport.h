#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The log as text for the clipboard and for a file: one line per log line. A line break inside a
// log line (a file name, a unit's reply) becomes a space, so that the line count stays the log's.
class LogExport
{
public:
    // The lines joined by "\n", without one after the last: what a paste should insert.
    static QString clipboardText(const QStringList& lines);
    // UTF-8, every line ended by "\n".
    static QByteArray fileContents(const QStringList& lines);
    // Writes the file whole or not at all: an earlier file of that name is kept on failure.
    // On failure, error says why.
    static bool write(const QString& path, const QStringList& lines, QString* error);
    // e.g. "uploader-log-2026-12-07-1530.txt"
    static QString suggestedFileName(const QDateTime& when);

private:
    static QString oneLine(const QString& line);
};
