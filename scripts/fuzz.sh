#!/usr/bin/env bash
# Runs every fuzz target of the sanitizer build briefly on its seed corpus.
#   scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
scripts/setup.sh --sanitize >/dev/null
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:intercept_tls_get_addr=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}"
export QT_QPA_PLATFORM=offscreen
status=0
shopt -s nullglob
for src in fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  bin=build-sanitize/fuzz/$name
  corpus=fuzz/corpus/$name
  work=$(mktemp -d)
  [[ -d $corpus ]] && cp -r "$corpus"/. "$work"/
  echo "fuzz: $name for ${secs}s"
  if ! "$bin" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "$work" >"$work.log" 2>&1; then
    tail -50 "$work.log"
    echo "fuzz: $name FAILED"
    status=1
  else
    grep -E "stat::number_of_executed_units|Done" "$work.log" | tail -2 || true
  fi
  rm -rf "$work" "$work.log"
done
exit $status
