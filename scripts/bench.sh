#!/usr/bin/env bash
# Builds the library, the simulated reader and the benchmark in Release into
# build-bench and runs the benchmark: a table on standard output and, with
# --csv FILE, the same results as CSV.  Arguments go to kyt_bench
# (--quick, --csv FILE, --section NAME).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KYT_BENCH_BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKYT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(( $(nproc) < 2 ? $(nproc) : 2 ))" --target kyt_bench >/dev/null
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg)"
exec "$build/bench/kyt_bench" "$@"
