#!/usr/bin/env bash
# The PC/SC comparison: the same APDUs through pcscd with the KYT handler
# (SCardTransmit) and straight through libkyt (KYT_ExchangeApdu), against
# one line-paced kyt_sim at 115200 bit/s.  Needs root, pcscd and
# libpcsclite-dev; runs its own pcscd in a private mount namespace so that
# it never meets a system one.
#
#   scripts/bench-pcsc.sh [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KYT_BENCH_BUILD_DIR:-$root/build-bench}
runs=${1:-30}

if [ "${KYT_BENCH_PCSC_INNER:-}" != 1 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKYT_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j 2 --target kyt_pcsc_bench ifdkyt kyt_sim >/dev/null
  KYT_BENCH_PCSC_INNER=1 exec unshare --mount --propagation private bash "$0" "$@"
fi

work=$(mktemp -d /tmp/kyt-bench-pcsc.XXXXXX)
sim_pid=
pcscd_pid=
cleanup() {
  for pid in $pcscd_pid $sim_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $pcscd_pid $sim_pid; do wait "$pid" 2>/dev/null || true; done
  umount /run/pcscd 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/run" /run/pcscd
mount --bind "$work/run" /run/pcscd
export PCSCLITE_CSOCK_NAME=/run/pcscd/pcscd.comm

"$build/sim/kyt_sim" --pace --speed 115200 --link "$work/port" </dev/null >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q "Simulated reader ready" "$work/sim.log" 2>/dev/null && break
  sleep 0.1
done

echo "direct: KYT_ExchangeApdu (name runs median_ms)"
"$build/bench/kyt_pcsc_bench" --direct "$work/port" --runs "$runs"

cat >"$work/reader.conf" <<CONF
FRIENDLYNAME "KYT Bench"
DEVICENAME   $work/port
LIBPATH      $build/pcsc/libifdkyt.so
CHANNELID    1
CONF
pcscd -f -c "$work/reader.conf" >"$work/pcscd.log" 2>&1 &
pcscd_pid=$!
for _ in $(seq 150); do
  opensc-tool -l 2>/dev/null | grep -q 'KYT Bench 00 00' && break
  sleep 0.2
done
echo "pcscd: SCardTransmit (name runs median_ms)"
"$build/bench/kyt_pcsc_bench" --pcsc "KYT Bench 00 00" --runs "$runs"
