#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one, one after the other,
# for SECONDS (default 60) on a copy of its seed corpus from fuzz/corpus/. Prints the executions
# and coverage of each run and lists any finding (crash-*, leak-*, timeout-*, oom-* files).
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="$root/build-fuzz"
targets=(fuzz_replies fuzz_firmware_lines fuzz_firmware_check)

"$root/scripts/install-deps.sh" --with-clang

echo "== build-fuzz: configure and build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPLOADER_FUZZ=ON \
  -DUPLOADER_SANITIZE=ON -DUPLOADER_BUILD_TESTS=OFF -DUPLOADER_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
  work="$build/runs/$target"
  rm -rf "$work"
  mkdir -p "$work/findings"
  cp -r "$root/fuzz/corpus/$target" "$work/corpus"
  echo "== $target: ${seconds}s"
  # One run at a time, niced: the machine's cores are shared.
  if ! (cd "$work/findings" && ASAN_OPTIONS=detect_leaks=1 nice -n 10 "$build/fuzz/$target" \
        -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
        "$work/corpus" >"$work/log" 2>&1); then
    status=1
  fi
  # "cov:" counts the instrumented edges reached, "ft:" the coverage features.
  grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$work/log" || true
  findings=("$work"/findings/*)
  if [[ -e "${findings[0]}" ]]; then
    status=1
    echo "$target: FINDINGS (log: $work/log)"
    ls -l "$work/findings"
    grep -E 'ERROR|check failed|SUMMARY' "$work/log" | head -n 20 || true
  else
    echo "$target: no finding"
  fi
done
exit $status
