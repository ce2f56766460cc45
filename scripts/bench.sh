#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (optimised, no sanitizers) and runs them: the
# uploader's window against unitsim as a separate process on 127.0.0.1, next to a minimal
# blocking client, with and without reply latency, and for a small and a large file.
# Prints the table on stdout; progress goes to stderr.
# Usage: scripts/bench.sh [--quick] [uploader_bench options]   (--help lists them)
#        scripts/bench.sh --cli [--soak] [uploader_cli_bench options]   uploader-cli over many units
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"

"$root/scripts/install-deps.sh" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPLOADER_BUILD_TESTS=OFF -DUPLOADER_BUILD_BENCH=ON >/dev/null
if [[ "${1:-}" == "--cli" ]]; then
  shift
  cmake --build "$build" -j"$(nproc)" --target uploader_cli_bench >&2
  exec "$build/bench/uploader_cli_bench" "$@"
fi
cmake --build "$build" -j"$(nproc)" --target uploader_bench >&2
exec "$build/bench/uploader_bench" "$@"
