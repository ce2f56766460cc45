#pragma once

// How many units can be updated at once before the process runs out of file descriptors.
namespace OpenFileLimit {

// Each running update holds a socket and the open firmware file.
inline constexpr int DescriptorsPerUnit = 2;
// For standard streams, the event loop's own descriptors, the interrupt watcher and libraries.
inline constexpr int Margin = 64;

// Raises the soft RLIMIT_NOFILE to the hard one where the system allows, then returns how many
// units may run at once (at least 1). *limit receives the soft limit in force.
int unitsAtOnce(long* limit);

} // namespace OpenFileLimit
