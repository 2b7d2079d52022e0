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
# shellcheck source=scripts/lib/sim.sh
source "$root/scripts/lib/sim.sh"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build"
cmake --build "$build" -j "$(nproc)"

workdir=$(mktemp -d "${TMPDIR:-/tmp}/kyt-demo.XXXXXX")
stop_simulator() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$workdir"
}
trap stop_simulator EXIT

sim_start "$workdir/sim.log" "$build/sim/kyt_sim" --link "$workdir/port" "$@" || exit 1
port=$sim_port

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
