#!/usr/bin/env bash
# Installs what is missing, builds, and starts the uploader window.
# Usage: scripts/run.sh [--debug]     (--debug starts the build with the Tools menu)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target uploader uploader-debug unitsim

program="$build/src/app/uploader"
[[ "${1:-}" == "--debug" ]] && program="$build/src/app/uploader-debug"

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
  cat >&2 <<MSG
Built $program, but there is no display to show its window on.
  - On a desktop: run this command from a terminal inside the desktop session.
  - Over ssh: connect with "ssh -X" (X forwarding), then run it again.
  - Without any screen: apt-get install xvfb, then: xvfb-run -a $0 $*
MSG
  exit 1
fi
exec "$program"
