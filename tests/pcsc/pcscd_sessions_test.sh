#!/usr/bin/env bash
# The PC/SC driver as services that run for months need it, against the
# real pcscd with its real clients and the simulated reader: pcscd stops
# at once whatever the reader does, sessions survive a bounce, a silence
# and slow cards, a port may appear after pcscd started, odd replies are
# cut, pcscd's reader contexts run out with a word, and the log topics.
# Runs in a mount namespace of its own (pcscd_rig.sh).  Needs root.
#
#   pcscd_sessions_test.sh BUILD_DIR WORK_DIR
#
# Exits non-zero on the first failed check; stops every process it started.
set -euo pipefail
build=$1
work=$2
# shellcheck source=tests/pcsc/pcscd_rig.sh
source "$(dirname "$0")/pcscd_rig.sh"

client_checks() { # check...
  KYT_SIM_COMMANDS="$work/commands" KYT_SIM_LOG="$work/sim.log" timeout 300 "$client" "$@" ||
    fail "pcsc_client $*"
}

wait_log() { # file pattern description
  for _ in $(seq 600); do
    grep -q -E -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "$3: no line matching '$2' in $1"
}

# The seconds pcscd took from the signal to its last line: its log gives
# each line's distance from the one before in microseconds.
exit_seconds() { # log
  awk '/Received signal/ { on = 1; total = 0; next } on { total += $1 } END { printf "%.2f", total / 1e6 }' "$1"
}

# pcscd's main loop sleeps in select() without a timeout and learns of a
# signal from pcscd's signal thread: after the select's EINTR it gives that
# thread one millisecond to set the shutdown flag (SVCServiceRunLoop,
# pcscdaemon.c).  On a loaded machine the thread can come later; the loop
# then sleeps again until a client or another signal wakes it, and pcscd,
# though it logged "Preparing for suicide", never starts to stop its
# readers.  The race is pcscd's own, with any driver or none.  A loop that
# missed its flag for 3 s gets the signal once more, and finds the flag
# then (a third signal would make pcscd exit without stopping its readers,
# which would test nothing).  Waits at most SECONDS for pcscd to exit;
# last_signal is when pcscd got the signal its main loop acted on.
await_exit() { # signal log seconds
  local t deadline taken='' resent=0
  t=${EPOCHREALTIME//[.,]/}
  deadline=$((t + $3 * 1000000))
  while kill -0 "$pcscd_pid" 2>/dev/null; do
    t=${EPOCHREALTIME//[.,]/}
    [ "$t" -lt "$deadline" ] || return 1
    if [ "$resent" = 0 ] && grep -q 'Preparing for suicide' "$2"; then
      taken=${taken:-$t}
      if [ $((t - taken)) -ge 3000000 ] && ! grep -q 'RFCleanupReaders() entering cleaning function' "$2"; then
        echo "    pcscd's main loop missed SIG$1 (pcscd's own race): signalled again"
        last_signal=$(now)
        kill "-$1" "$pcscd_pid"
        resent=1
      fi
    fi
    sleep 0.05
  done
}

# Signals pcscd and checks it is gone within about 2 s of its own one
# second's pause (the bound leaves room for a slow machine).
expect_quick_exit() { # signal what log
  local took
  last_signal=$(now)
  kill "-$1" "$pcscd_pid"
  if ! await_exit "$1" "$3" 30; then
    fail "pcscd still runs $(seconds_since "$last_signal") s after SIG$1 ($2)"
  fi
  took=$(seconds_since "$last_signal")
  wait "$pcscd_pid" 2>/dev/null || true
  pcscd_pid=
  echo "    SIG$1, $2: pcscd gone after $took s (its log: $(exit_seconds "$3") s)"
  below "$took" 5 || fail "pcscd took $took s to stop after SIG$1 ($2)"
}

stop_sim() {
  stop_pid "$sim_pid" "the simulated reader"
  sim_pid=
}

# ---- pcscd can always stop ------------------------------------------------------
write_conf "$work/reader.conf" "$work/port"
for signal in INT ALRM; do
  step "SIG$signal (ALRM is --auto-exit's own) with a silent reader, a vanished port, a recovery"
  start_sim
  start_pcscd "$work/reader.conf" "$work/pcscd-silent-$signal.log"
  kill -STOP "$sim_pid"
  wait_log "$work/pcscd-silent-$signal.log" 'ifdkyt: .*no answer from the reader' "the reader falls silent"
  expect_quick_exit "$signal" "the reader silent" "$work/pcscd-silent-$signal.log"
  stop_sim

  start_sim
  start_pcscd "$work/reader.conf" "$work/pcscd-gone-$signal.log"
  stop_sim
  wait_log "$work/pcscd-gone-$signal.log" 'ifdkyt: .*the port is gone' "the port vanishes"
  expect_quick_exit "$signal" "the port gone" "$work/pcscd-gone-$signal.log"

  start_sim
  start_pcscd "$work/reader.conf" "$work/pcscd-recovery-$signal.log"
  kill -STOP "$sim_pid"
  # Given up after ten seconds of silence; a scan of the line speeds every
  # four seconds (two of scanning, two of pause) after that.
  wait_log "$work/pcscd-recovery-$signal.log" 'ifdkyt: .*no reader answers yet' "a recovery attempt"
  sleep 2.8
  expect_quick_exit "$signal" "in the middle of a recovery attempt" "$work/pcscd-recovery-$signal.log"
  stop_sim
done

step "pcscd --auto-exit with a silent reader: it exits by itself"
start_sim
PCSCD_ARGS=--auto-exit start_pcscd "$work/reader.conf" "$work/pcscd-auto.log"
kill -STOP "$sim_pid"
idle=$(now)
await_exit ALRM "$work/pcscd-auto.log" 90 ||
  fail "pcscd --auto-exit still runs $(seconds_since "$idle") s after its last client"
wait "$pcscd_pid" 2>/dev/null || true
pcscd_pid=
echo "    gone $(seconds_since "$idle") s after its last client (its log: $(exit_seconds "$work/pcscd-auto.log") s from the alarm)"
stop_sim

# ---- Sessions -------------------------------------------------------------------
step "bounce, then SCardReconnect with SCARD_RESET_CARD at once; IFD_RESET is warm"
start_sim --log "$work/frames.log"
start_pcscd "$work/reader.conf" "$work/pcscd-sessions.log"
client_checks reconnect reset
# The reset's power-on (62) follows the SELECT (6F) on slot 0 with no
# power-off (63) between: a warm reset.
types=$(awk '$2 == "host>reader" && $9 == "00" && ($4 == "62" || $4 == "63" || $4 == "6F") { printf "%s ", $4 }' \
  "$work/frames.log")
grep -q -- '6F 62 6F' <<<"$types" || fail "no warm reset on the line: $types"

step "a silence of the whole reader, with and without a power cycle of the card"
client_checks silence:3000 power-cycle
expect_output "the silence logged" 'ifdkyt: .*answers again after [0-9.]+ s of silence' "$(cat "$work/pcscd-sessions.log")"

step "a card that takes 30 s over one APDU"
client_checks slow:30000
stop_pcscd
stop_sim

step "timeout= both ways: an 8 s card with timeout=3, a 5 s card with timeout=8"
start_sim
write_conf "$work/reader-short.conf" "$work/port:timeout=3"
start_pcscd "$work/reader-short.conf" "$work/pcscd-short.log"
client_checks too-slow:8000
stop_pcscd
write_conf "$work/reader-long.conf" "$work/port:timeout=8"
start_pcscd "$work/reader-long.conf" "$work/pcscd-long.log"
client_checks slow:5000
stop_pcscd
stop_sim

# ---- A port that appears after pcscd started ------------------------------------
step "an entry whose port appears 5 s after pcscd started"
# pcscd refuses to start with a DEVICENAME that does not exist, unless the
# name holds a ':': an option, here the slot count, lets it through.
write_conf "$work/reader-late.conf" "$work/late:slots=3"
start_pcscd "$work/reader-late.conf" "$work/pcscd-late.log"
expect_output "the wait logged" 'ifdkyt: .*late: the port does not exist \(yet\)' "$(cat "$work/pcscd-late.log")"
out=$(timeout 30 opensc-tool -l)
expect_output "three empty slots" '^2 +No .*KYT Test 00 02' "$out"
sleep 5
"$sim_binary" --link "$work/late" >"$work/sim-late.log" 2>&1 &
extra_pids=$!
appeared=$(now)
for _ in $(seq 300); do
  opensc-tool -l 2>/dev/null | grep -q -E '^0 +Yes .*KYT Test 00 00' && break
  sleep 0.1
done
opensc-tool -l | grep -q -E '^0 +Yes .*KYT Test 00 00' || fail "the late reader's card never showed"
echo "    card in slot 0 $(seconds_since "$appeared") s after the port appeared"
out=$(timeout 30 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' 2>&1)
expect_output "SELECT on the late reader" 'SW1=0x90, SW2=0x00' "$out"
stop_pcscd
stop_pid "$extra_pids" "the late simulated reader"
extra_pids=

# ---- Odd replies ----------------------------------------------------------------
step "a 40-byte ATR is cut to 33 bytes"
start_sim
start_pcscd "$work/reader.conf" "$work/pcscd-odd.log"
# A T=1 ATR with 15 historical bytes (25 bytes), then 15 more: pcscd keeps
# the first 33, and the card (out of ISO 7816-3, which libkyt then refuses
# to select a protocol for) shows in its slot.
atr=3BFF9600008131FE454142434445464748494A4B4C4D4E4F22EEEEEEEEEEEEEEEEEEEEEEEEEEEEEE
sim_command "insert 2 $atr" >/dev/null
wait_log "$work/pcscd-odd.log" 'Card ATR: 3B FF 96 00 00 81 31 FE 45 41' "the long ATR in pcscd's log"
cut=$(grep 'Card ATR: 3B FF 96' "$work/pcscd-odd.log" | tail -1 | sed 's/.*Card ATR: //')
[ "$(wc -w <<<"$cut")" = 33 ] || fail "pcscd kept $(wc -w <<<"$cut") bytes of the 40-byte ATR: $cut"
out=$(timeout 30 opensc-tool -l)
expect_output "slot 2 holds the card" '^2 +Yes .*KYT Test 00 02' "$out"
expect_output "the cut logged" "ifdkyt: .*the card's ATR has 40 bytes; the first 33 are kept" "$(cat "$work/pcscd-odd.log")"
stop_pcscd
stop_sim

step "a reader with a 100-byte firmware text"
start_sim --firmware "KYT7710P_V3 1.0.1 $(printf 'x%.0s' $(seq 82))"
pcscd_start "$work/reader.conf" "$work/pcscd-firmware.log" -d
wait_log "$work/pcscd-firmware.log" 'ifdkyt: .*no KYT reader answers on the port' "the long text explained"
stop_pcscd
stop_sim

# ---- pcscd's reader contexts ------------------------------------------------------
step "six three-slot readers: pcscd has contexts for five"
: >"$work/reader-six.conf"
extra_pids=
for n in 1 2 3 4 5 6; do
  sim_start "$work/sim$n.log" "$sim_binary" --link "$work/port$n" || fail "simulated reader $n did not start"
  extra_pids="$extra_pids $sim_pid"
  sim_pid=
  write_conf "$work/one.conf" "$work/port$n" "KYT Test $n"
  cat "$work/one.conf" >>"$work/reader-six.conf"
done
start_pcscd "$work/reader-six.conf" "$work/pcscd-six.log" 15
wait_log "$work/pcscd-six.log" \
  "ifdkyt: .*port6: pcscd closed the reader after opening 1 of its 3 slots: pcscd has 16 reader contexts" \
  "the sixth reader's close explained"
grep 'ifdkyt: .*port6: pcscd closed' "$work/pcscd-six.log" | sed 's/^/    /'
stop_pcscd
for pid in $extra_pids; do stop_pid "$pid" "a simulated reader"; done
extra_pids=

# ---- Diagnostics --------------------------------------------------------------------
step "log topics: log=all, and KYT_IFD_LOG=calls in pcscd's environment"
start_sim
write_conf "$work/reader-log.conf" "$work/port:log=all"
start_pcscd "$work/reader-log.conf" "$work/pcscd-log-all.log"
client_checks t1 control
log=$(cat "$work/pcscd-log-all.log")
expect_output "calls" 'ifdkyt: .*: Lun 0x[0-9A-F]+: IFDHTransmitToICC\([0-9]+ bytes\) -> [0-9]+ bytes: IFD_SUCCESS' "$log"
expect_output "escapes" 'ifdkyt: .*: Lun 0x[0-9A-F]+: escape command E0 00 00 18 00 \(5 bytes\) passed' "$log"
expect_output "polls" 'ifdkyt: .*: Lun 0x[0-9A-F]+: IFDHICCPresence: IFD_SUCCESS' "$log"
stop_pcscd
KYT_IFD_LOG=calls start_pcscd "$work/reader.conf" "$work/pcscd-log-calls.log"
client_checks t1
log=$(cat "$work/pcscd-log-calls.log")
expect_output "calls by KYT_IFD_LOG" 'ifdkyt: .*: Lun 0x[0-9A-F]+: IFDHPowerICC\(up\)' "$log"
grep -q 'IFDHICCPresence' <<<"$log" && fail "KYT_IFD_LOG=calls logged the polls"
for topic in IFDHPowerICC IFDHTransmitToICC IFDHICCPresence 'escape command'; do
  grep -h -m1 "ifdkyt: .*$topic" "$work/pcscd-log-all.log" | sed 's/^/    sample: /'
done
stop_pcscd
stop_sim
echo "pcscd sessions test passed"
