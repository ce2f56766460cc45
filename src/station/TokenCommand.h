#pragma once

#include <QStringList>

// `uploader-station token add NAME --role admin|operator`, `token list` and `token revoke NAME`,
// each with --state-dir DIR: the named tokens of a station, changed while it runs.
namespace TokenCommand {

// Whether the arguments (without the program's name) ask for it.
bool isAsked(const QStringList& arguments);
// Its exit code: 0, 1 when the state folder cannot be read or written, 2 for a usage error.
int run(const QStringList& arguments);

} // namespace TokenCommand
