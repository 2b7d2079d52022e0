#!/usr/bin/env bash
# Runs the real pcscd with the KYT handler against a simulated reader and
# checks it with real PC/SC clients: pcsc_scan, opensc-tool, scriptor and
# pcsc_client.  It runs itself in a mount namespace of its own (unshare
# --mount) with a private folder bound over /run/pcscd, so this pcscd and its
# clients never meet a system pcscd.  Needs root.
#
#   pcscd_test.sh BUILD_DIR WORK_DIR
#
# BUILD_DIR holds pcsc/libifdkyt.so, pcsc/pcsc_client and sim/kyt_sim.
# Exits non-zero on the first failed check; stops every process it started.
set -euo pipefail
build=$1
work=$2
handler=$build/pcsc/libifdkyt.so
client=$build/pcsc/pcsc_client
sim_binary=$build/sim/kyt_sim

# Everything below runs in a mount namespace of its own.
if [ "${KYT_PCSC_NAMESPACE:-}" != "$$" ]; then
  exec unshare --mount --propagation private \
    bash -c 'KYT_PCSC_NAMESPACE=$$ exec bash "$0" "$@"' "$0" "$@"
fi

rm -rf "$work"
mkdir -p "$work/run"
created_run_dir=0
if [ ! -d /run/pcscd ]; then
  mkdir -p /run/pcscd
  created_run_dir=1
fi
mount --bind "$work/run" /run/pcscd
export PCSCLITE_CSOCK_NAME=/run/pcscd/pcscd.comm

sim_pid=
pcscd_pid=
cleanup() {
  local pid
  for pid in $pcscd_pid $sim_pid; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $pcscd_pid $sim_pid; do
    wait "$pid" 2>/dev/null || true
  done
  exec 3>&- 2>/dev/null || true
  umount /run/pcscd 2>/dev/null || true
  [ "$created_run_dir" = 1 ] && rmdir /run/pcscd 2>/dev/null || true
}
trap cleanup EXIT

step() { echo "--- $*"; }
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/pcscd*.log; do
    [ -f "$log" ] && { echo "=== last lines of $log" >&2; tail -40 "$log" >&2; }
  done
  exit 1
}

# Starts the simulator in its demo setup; its standard input is a fifo
# through which the tests pull and insert cards.
start_sim() {
  rm -f "$work/port" "$work/commands"
  mkfifo "$work/commands"
  "$sim_binary" --link "$work/port" <"$work/commands" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  exec 3>"$work/commands" # keeps the fifo open between commands
  for _ in $(seq 100); do
    grep -q "Simulated reader ready" "$work/sim.log" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "the simulated reader did not start"
}

stop_pid() { # pid name
  kill "$1" 2>/dev/null || true
  for _ in $(seq 300); do
    kill -0 "$1" 2>/dev/null || { wait "$1" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  fail "$2 did not stop within 30 s"
}

# Starts pcscd on a reader.conf and waits until it lists three readers.
start_pcscd() { # config log
  pcscd -f -d -c "$1" >"$2" 2>&1 &
  pcscd_pid=$!
  for _ in $(seq 150); do
    if [ "$(opensc-tool -l 2>/dev/null | grep -c 'KYT')" = 3 ]; then
      return 0
    fi
    kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd exited"
    sleep 0.2
  done
  opensc-tool -l || true
  fail "pcscd did not list the reader's three slots"
}

stop_pcscd() {
  stop_pid "$pcscd_pid" pcscd
  pcscd_pid=
}

expect_output() { # description pattern output
  grep -q -E -- "$2" <<<"$3" || { echo "$3" >&2; fail "$1: no line matching '$2'"; }
}

start_sim
cat >"$work/reader.conf" <<EOF
FRIENDLYNAME "KYT Test"
DEVICENAME   $work/port
LIBPATH      $handler
CHANNELID    1
EOF
step "pcscd with DEVICENAME $work/port"
start_pcscd "$work/reader.conf" "$work/pcscd.log"

step "pcsc_scan"
out=$(timeout 20 pcsc_scan -t 3 -n 2>&1 || true)
expect_output "pcsc_scan reader 0" 'KYT Test 00 00' "$out"
expect_output "pcsc_scan reader 2" 'KYT Test 00 02' "$out"
expect_output "pcsc_scan T=1 card ATR" 'ATR: 3B F9 96 00 00 81 31 FE 45' "$out"
expect_output "pcsc_scan T=0 card ATR" 'ATR: 3B 17 18 80 31 80 73 90 21 00' "$out"
expect_output "pcsc_scan empty slot" 'Card removed' "$out"

step "opensc-tool -l / -a / -s"
out=$(timeout 30 opensc-tool -l)
expect_output "opensc-tool -l slot 0" '^0 .*KYT Test 00 00' "$out"
expect_output "opensc-tool -l slot 1" '^1 .*KYT Test 00 01' "$out"
expect_output "opensc-tool -l slot 2" '^2 .*KYT Test 00 02' "$out"
out=$(timeout 30 opensc-tool -r 0 -a)
expect_output "opensc-tool -a slot 0" '^3b:f9:96:00:00:81:31:fe:45' "$out"
out=$(timeout 30 opensc-tool -r 1 -a)
expect_output "opensc-tool -a slot 1" '^3b:17:18:80:31:80:73:90:21:00$' "$out"
out=$(timeout 30 opensc-tool -r 2 -a 2>&1 || true)
expect_output "opensc-tool -a on the empty slot" 'No card|not present|Card not present' "$out"
out=$(timeout 30 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' -s '00 A4 00 0C 02 2F E2' -s '00 B0 00 00 0A' 2>&1)
expect_output "opensc-tool -s SELECT MF" 'SW1=0x90, SW2=0x00' "$out"
expect_output "opensc-tool -s READ BINARY" '98 94 00 21 43 65 87 09 21 F3' "$out"
out=$(timeout 30 opensc-tool -r 1 -s '00 A4 00 00 02 3F 00' 2>&1)
# OpenSC fetches the 61 xx response itself with GET RESPONSE.
expect_output "opensc-tool -s T=0 SELECT with FCI" 'SW1=0x90, SW2=0x00' "$out"

step "scriptor on the T=0 card"
cat >"$work/t0.script" <<'EOF'
reset
00 A4 00 0C 02 2F E2
00 B0 00 00 0A
00 B0 00 00 10
EOF
out=$(timeout 30 scriptor -r "KYT Test 00 01" "$work/t0.script" 2>&1)
expect_output "scriptor SELECT" '^< 90 00 : Normal processing' "$out"
expect_output "scriptor READ BINARY" '^< 98 94 00 21 43 65 87 09 21 F3 90 00' "$out"
expect_output "scriptor READ BINARY, Le too long for T=0" '^< 6C 0A' "$out"

step "pcsc_client: T=1, T=0, empty slot, escape, reset, two threads, removal"
KYT_SIM_COMMANDS="$work/commands" timeout 180 "$client" readers t1 t0 empty control reset threads removed ||
  fail "pcsc_client"

step "the reader disappears under pcscd"
stop_pid "$sim_pid" "the simulated reader"
sim_pid=
sleep 2
kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd died when the reader went away"
rc=0
timeout 60 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' >"$work/gone.out" 2>&1 || rc=$?
[ "$rc" = 124 ] && fail "a client hung after the reader went away"
grep -q 'SW1=0x90' "$work/gone.out" && fail "an APDU was answered without a reader"
grep -q -E 'Failed|not present|unavailable' "$work/gone.out" || fail "no error for the vanished reader"
kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd died on a request to the vanished reader"
stop_pcscd

# A configuration without DEVICENAME opens the reader by its channel number:
# channel 1 is the first serial port, /dev/ttyS0 (here the simulator's pty,
# bound over it in this mount namespace only).
if [ -c /dev/ttyS0 ]; then
  step "pcscd with CHANNELID 1 (/dev/ttyS0)"
  start_sim
  mount --bind "$(readlink -f "$work/port")" /dev/ttyS0
  cat >"$work/reader-channel.conf" <<EOF
FRIENDLYNAME "KYT Test"
LIBPATH      $handler
CHANNELID    1
EOF
  start_pcscd "$work/reader-channel.conf" "$work/pcscd-channel.log"
  out=$(timeout 30 opensc-tool -r 1 -s '00 A4 00 0C 02 3F 00' 2>&1)
  expect_output "channel 1: SELECT MF" 'SW1=0x90, SW2=0x00' "$out"
  stop_pcscd
  umount /dev/ttyS0
else
  echo "--- skipped: no /dev/ttyS0 to stand in for channel 1"
fi
echo "pcscd integration test passed"
