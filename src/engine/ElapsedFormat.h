#pragma once

#include <QLocale>
#include <QString>

// How elapsed times are shown in the log.
namespace ElapsedFormat {

// Whole milliseconds between two clock readings in seconds, rounded half up.
qint64 milliseconds(double startSeconds, double nowSeconds);

// The millisecond count with the user's thousands separator ("1,234"); callers append " mS...",
// " mS " or " mS".
QString thousands(qint64 ms, const QLocale& locale = QLocale());

// "### seconds.": the elapsed seconds rounded after adding half a second, so a non-negative time
// shows its whole seconds plus one (12.0 s -> "13 seconds.").
QString seconds(double elapsedSeconds);

} // namespace ElapsedFormat
