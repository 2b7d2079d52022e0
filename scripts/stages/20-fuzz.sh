#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang 14 and runs each for a
# bounded time (KYT_FUZZ_SECONDS, default 60) from its seed corpus.  A crash,
# a sanitizer report or a broken invariant fails the stage; the reproducer
# is left in the build folder.
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
seconds=${KYT_FUZZ_SECONDS:-60}
build="$root/build-fuzz"

"$root/scripts/install-deps.sh" clang-14 libclang-rt-14-dev

rm -rf "$build"
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in atr reader_line script rules; do
  work="$build/corpus-$target"
  mkdir -p "$work" "$build/artifacts-$target"
  cp "$root/fuzz/corpus/$target/"* "$work/"
  echo "--- fuzz_$target for $seconds s"
  status=0
  (cd "$build/artifacts-$target" &&
    "$build/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts-$target/" "$work" >"$build/fuzz_$target.log" 2>&1) ||
    status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|ERROR|SUMMARY' "$build/fuzz_$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -60 "$build/fuzz_$target.log"
    echo "fuzz_$target failed (exit $status); reproducers:" "$build/artifacts-$target"/*
    exit 1
  fi
done
