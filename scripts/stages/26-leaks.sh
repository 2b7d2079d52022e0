#!/usr/bin/env bash
# Leak and descriptor checks under valgrind's memcheck: many open/close
# cycles and every failed open (leak_test), the open tests, the slot tests
# and a short fault soak, then kyt_probe on a simulated reader, a line
# without a reader and a missing port.  Any lost byte (definite, indirect or
# possible), any invalid access and any failed test fails the stage; the
# tests themselves count the process's descriptors, and valgrind counts
# kyt_probe's.
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
build="$root/build-leaks"
# shellcheck source=scripts/lib/sim.sh
source "$root/scripts/lib/sim.sh"

"$root/scripts/install-deps.sh" valgrind

rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target leak_test open_test slot_test soak_test kyt_probe kyt_sim

export KYT_SOAK_EXCHANGES=${KYT_SOAK_EXCHANGES:-15}
status=0
for test in leak_test open_test slot_test soak_test; do
  echo "--- $test under memcheck"
  valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
    --log-file="$build/$test.memcheck" "$build/tests/$test" --gtest_brief=1 || status=1
  cat "$build/$test.memcheck"
done

echo "--- kyt_probe under memcheck"
work=$(mktemp -d /tmp/kyt-leaks.XXXXXX)
sim_start "$work/sim.log" "$build/sim/kyt_sim" --link "$work/port" --model KYT4460P --speed 38400 || status=1
sim=$sim_pid
# A line with nobody at its far end.
/usr/bin/python3 -c 'import os, pty, time; m, s = pty.openpty(); print(os.ttyname(s), flush=True); time.sleep(120)' \
  >"$work/empty" &
empty=$!
for _ in $(seq 100); do [ -s "$work/empty" ] && break; sleep 0.1; done
rc=0
valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 --track-fds=yes \
  --log-file="$build/kyt_probe.memcheck" \
  "$build/tools/probe/kyt_probe" "$work/port" "$(cat "$work/empty")" /nonexistent/port >"$work/probe.out" || rc=$?
cat "$work/probe.out" "$build/kyt_probe.memcheck"
kill "$sim" "$empty" 2>/dev/null || true
wait "$sim" "$empty" 2>/dev/null || true
rm -rf "$work"
# Exit status 0: the reader was found; valgrind's own is 99.
[ "$rc" = 0 ] || status=1
# No descriptor of its own may be open at the end (valgrind lists those it
# did not inherit with where they were opened).
awk '/Open file descriptor/ { open = 1; next }
     open && !/inherited from parent/ { leaked = 1 }
     { open = 0 }
     END { exit leaked }' "$build/kyt_probe.memcheck" || status=1
exit $status
