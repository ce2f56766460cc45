#pragma once

#include <QString>

// Names one run of many units in the history and the station's API: 12 lower-case hex digits, from
// the system's random source, so that runs of different programs and computers do not meet.
namespace RunId {

QString make();
bool isValid(const QString& text);

} // namespace RunId
