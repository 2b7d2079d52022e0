#!/usr/bin/env bash
# The PC/SC comparison: the same APDUs straight through libkyt
# (KYT_ExchangeApdu) on a line-paced kyt_sim at 115200 bit/s, and through
# pcscd with the KYT handler (SCardTransmit) on a line-paced kyt_sim fresh
# from power-up (9600 bit/s): out of the box, and with the entry's
# speed=keep, which leaves the line at 9600 bit/s.  For each pcscd run it
# also measures the share of the line that pcscd's presence polling takes
# on the idle three-slot reader.  Needs root, pcscd and libpcsclite-dev;
# runs its own pcscd in a private mount namespace so that it never meets a
# system one.
#
#   scripts/bench-pcsc.sh [RUNS] [IDLE_SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KYT_BENCH_BUILD_DIR:-$root/build-bench}
runs=${1:-30}
idle=${2:-20}

# shellcheck source=scripts/lib/pcscd.sh
source "$root/scripts/lib/pcscd.sh"
# shellcheck source=scripts/lib/sim.sh
source "$root/scripts/lib/sim.sh"

if ! pcscd_in_namespace; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKYT_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j 2 --target kyt_pcsc_bench ifdkyt kyt_sim >/dev/null
  pcscd_enter_namespace "$0" "$@"
fi

work=$(mktemp -d /tmp/kyt-bench-pcsc.XXXXXX)
cleanup() {
  pcscd_cleanup
  for pid in $sim_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $sim_pid; do wait "$pid" 2>/dev/null || true; done
  exec 3>&- 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
pcscd_private_run "$work/run"

start_sim() { # kyt_sim options...
  rm -f "$work/port"
  sim_start --commands "$work/commands" "$work/sim.log" "$build/sim/kyt_sim" --pace --link "$work/port" "$@" || {
    echo "the simulated reader did not start" >&2
    exit 1
  }
}

stop() { # pid
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# The simulator's status line: "ok: SPEED bit/s, N bytes from the host, M bytes to it; ...".
status() {
  local before
  before=$(grep -c '^ok:' "$work/sim.log" || true)
  echo status >&3
  for _ in $(seq 100); do
    [ "$(grep -c '^ok:' "$work/sim.log" || true)" -gt "$before" ] && break
    sleep 0.1
  done
  grep '^ok:' "$work/sim.log" | tail -1
}

# Bytes each way and the line speed, from a status line.
counts() { sed -E 's/^ok: ([0-9]+) bit\/s, ([0-9]+) bytes from the host, ([0-9]+) bytes to it.*/\1 \2 \3/' <<<"$1"; }

pcsc_run() { # name option
  start_sim
  cat >"$work/reader.conf" <<CONF
FRIENDLYNAME "KYT Bench"
DEVICENAME   $work/port$2
LIBPATH      $build/pcsc/libifdkyt.so
CHANNELID    1
CONF
  pcscd_start "$work/reader.conf" "$work/pcscd.log"
  pcscd_wait_readers 'KYT Bench 00 0[0-2]' 3 || exit 1
  sleep 2 # pcscd powers the cards it finds, then settles into polling
  read -r speed host0 reader0 <<<"$(counts "$(status)")"
  sleep "$idle"
  read -r _ host1 reader1 <<<"$(counts "$(status)")"
  awk -v h=$((host1 - host0)) -v r=$((reader1 - reader0)) -v s="$speed" -v t="$idle" -v n="$1" 'BEGIN {
    printf "%s: line at %d bit/s; presence polling, idle, %d s: %d bytes from the host, %d to it: %.2f %% and %.2f %% of the line\n",
      n, s, t, h, r, 100 * h * 10 / (s * t), 100 * r * 10 / (s * t) }'
  echo "$1: SCardTransmit (name runs median_ms)"
  "$build/bench/kyt_pcsc_bench" --pcsc "KYT Bench 00 00" --runs "$runs"
  pcscd_stop
  stop "$sim_pid"
  sim_pid=
}

start_sim --speed 115200
echo "direct at 115200 bit/s: KYT_ExchangeApdu (name runs median_ms)"
"$build/bench/kyt_pcsc_bench" --direct "$work/port" --runs "$runs"
stop "$sim_pid"
sim_pid=

pcsc_run "pcscd, out of the box" ""
pcsc_run "pcscd, speed=keep" ":speed=keep"
