#!/usr/bin/env bash
# Leak and descriptor checks under valgrind's memcheck: many open/close
# cycles and every failed open (leak_test), the open tests, the slot tests
# and a short fault soak.  Any lost byte (definite, indirect or possible), any
# invalid access and any failed test fails the stage; the tests themselves
# count the process's descriptors.
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
build="$root/build-leaks"

"$root/scripts/install-deps.sh" valgrind

rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target leak_test open_test slot_test soak_test

export KYT_SOAK_EXCHANGES=${KYT_SOAK_EXCHANGES:-15}
status=0
for test in leak_test open_test slot_test soak_test; do
  echo "--- $test under memcheck"
  valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
    --log-file="$build/$test.memcheck" "$build/tests/$test" --gtest_brief=1 || status=1
  cat "$build/$test.memcheck"
done
exit $status
