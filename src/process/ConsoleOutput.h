#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// Writes to standard output or standard error straight away, so that a reader at the other end
// of a pipe sees each line as it happens.
namespace ConsoleOutput {

void write(std::FILE* stream, const QByteArray& bytes);
inline void out(const QString& text)
{
    write(stdout, text.toUtf8());
}
inline void err(const QString& text)
{
    write(stderr, text.toUtf8());
}
// For a service whose standard error journald reads (uploader-station): from now on every line of
// warn(), error() and info() starts with its syslog priority as sd-daemon.h writes it: <3> for an
// error, <4> for a warning, <6> for information. Off unless set.
void setPriorityPrefixes(bool on);
// "PROGRAM: TEXT" on standard error, control characters escaped: what the program is doing.
void info(const QString& text);
// "PROGRAM: warning: TEXT" on standard error (PROGRAM: the application name, uploader-cli),
// control characters escaped.
void warn(const QString& text);
// "PROGRAM: TEXT" on standard error, control characters escaped.
void error(const QString& text);

} // namespace ConsoleOutput
