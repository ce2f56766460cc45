#pragma once

#include <QString>

// The SHA-256 that a release publishes beside a firmware file, in the form sha256sum writes:
// FIRMWARE.hex.sha256 holding "<64 hex digits>  FIRMWARE.hex" (or " *FIRMWARE.hex"), one file per
// line. The line for the firmware's own file name counts; a sidecar with a single line counts
// whatever name it gives (it is named after the firmware already).
struct Sha256Sidecar
{
    enum class State
    {
        Absent, // no sidecar: nothing to compare
        Found,
        Unusable, // there, but no SHA-256 for this file can be read from it
    };

    State state = State::Absent;
    QString path;
    QString sha256;  // Found: lower-case hex
    QString problem; // Unusable: why

    static QString pathFor(const QString& firmwarePath) { return firmwarePath + QStringLiteral(".sha256"); }
    static Sha256Sidecar read(const QString& firmwarePath);
};

namespace Sha256 {

// 64 hex digits, in either case.
bool isHex(const QString& text);

} // namespace Sha256
