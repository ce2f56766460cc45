#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, and runs every test; then
# builds the tests again with AddressSanitizer and UndefinedBehaviorSanitizer and runs them too,
# and builds the fuzz targets and runs each for a few seconds.
# Usage: scripts/test.sh [--quick]     (--quick skips the sanitizer build and the fuzz run)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

"$root/scripts/install-deps.sh" --with-clang --with-postgresql --with-browser --with-monitoring
jobs="$(nproc)"

run_suite() {
  local build="$1"; shift
  echo "== $(basename "$build"): configure and build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPLOADER_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
  cmake --build "$build" -j"$jobs"
  echo "== $(basename "$build"): tests"
  # One test at a time: several measure real waits and should not fight over the two cores.
  (cd "$build" && ctest --output-on-failure --timeout 600)
}

run_suite "$root/build"
if [[ $quick -eq 0 ]]; then
  run_suite "$root/build-sanitize" -DUPLOADER_SANITIZE=ON -DUPLOADER_BUILD_BENCH=OFF
  # Only a smoke run: the targets build and survive their seeds. scripts/fuzz.sh runs them longer.
  "$root/scripts/fuzz.sh" 3
fi
