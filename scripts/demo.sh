#!/usr/bin/env bash
# Builds everything, starts the simulated reader on a pseudo-terminal and runs
# kyt_test against it in this terminal.  The simulator stops when kyt_test ends.
#
#   scripts/demo.sh [kyt_sim options]
#
# Without options the simulator plays a three-slot KYT7710P_V3 with a T=1 demo
# card in slot 0, a T=0 card in slot 1 and slot 2 empty; see
# "build/sim/kyt_sim --help" for the options.  KYT_BUILD_DIR chooses the
# build directory (default: build/ in the source tree).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KYT_BUILD_DIR:-$root/build}
ready_wait_seconds=20

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build"
cmake --build "$build" -j "$(nproc)"

workdir=$(mktemp -d "${TMPDIR:-/tmp}/kyt-demo.XXXXXX")
sim_pid=""
stop_simulator() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$workdir"
}
trap stop_simulator EXIT

sim_log="$workdir/sim.log"
"$build/sim/kyt_sim" --link "$workdir/port" "$@" >"$sim_log" 2>&1 </dev/null &
sim_pid=$!

# The simulator announces "Simulated reader ready on PATH" once the port exists.
port=""
for _ in $(seq $((ready_wait_seconds * 10))); do
  line=$(grep -m1 '^Simulated reader ready on ' "$sim_log" 2>/dev/null || true)
  if [ -n "$line" ]; then
    port=${line#Simulated reader ready on }
    break
  fi
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "The simulated reader stopped before it was ready:" >&2
    cat "$sim_log" >&2
    exit 1
  fi
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "The simulated reader did not get ready within $ready_wait_seconds s:" >&2
  cat "$sim_log" >&2
  exit 1
fi

apdu_examples=$(cd "$root" && ls examples/*.apdu 2>/dev/null | tr '\n' ' ' || true)
cat <<HINT
Simulated reader on $port
Scripts to try at "Enter a script filename: " (paths relative to $root):
  card menu (2, then 5):       ${apdu_examples:-(none)}
  peripheral menu (3, then 1): examples/escape.ctl

HINT

cd "$root"
status=0
"$build/tools/test/kyt_test" "$port" || status=$?
exit "$status"
