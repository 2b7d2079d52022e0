#!/usr/bin/env bash
# Smoke run of the benchmark program of the main build: every measurement
# once, briefly, against the line-paced simulated reader.  No thresholds:
# the stage fails only when the program fails (a library call or the
# simulated reader went wrong).
set -euo pipefail
root=${KYT_ROOT:?}
build=${KYT_MAIN_BUILD:?}
bench=$build/bench/kyt_bench
if [ ! -x "$bench" ]; then
  cmake --build "$build" -j 2 --target kyt_bench
fi
csv=$(mktemp /tmp/kyt-bench-smoke.XXXXXX.csv)
trap 'rm -f "$csv"' EXIT
timeout 300 "$bench" --quick --csv "$csv"
# The CSV has its header and a row per measurement.
rows=$(($(wc -l < "$csv") - 1))
echo "kyt_bench --quick wrote $rows result rows"
[ "$rows" -ge 20 ]
