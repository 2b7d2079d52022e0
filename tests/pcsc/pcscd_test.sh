#!/usr/bin/env bash
# Runs the real pcscd with the KYT handler against a simulated reader and
# checks it with real PC/SC clients: pcsc_scan, opensc-tool, scriptor,
# pyscard (pcsc_attributes.py) and pcsc_client; one slot's card is Debian's
# vicc card emulator.  It runs itself in a mount namespace of its own
# (pcscd_rig.sh), so this pcscd and its clients never meet a system pcscd.
# Needs root.
#
#   pcscd_test.sh BUILD_DIR WORK_DIR
#
# BUILD_DIR holds pcsc/libifdkyt.so, pcsc/pcsc_client and sim/kyt_sim.
# Exits non-zero on the first failed check; stops every process it started.
set -euo pipefail
build=$1
work=$2
# shellcheck source=tests/pcsc/pcscd_rig.sh
source "$(dirname "$0")/pcscd_rig.sh"

# ---- The demo reader, out of the box ------------------------------------------
start_sim
write_conf "$work/reader.conf" "$work/port"
step "pcscd with DEVICENAME $work/port"
start_pcscd "$work/reader.conf" "$work/pcscd.log"

step "the line runs at 115200 bit/s"
out=$(sim_command status)
expect_output "line speed" '^ok: 115200 bit/s' "$out"
expect_output "pcscd log" 'ifdkyt: .*: line speed 115200 bit/s' "$(cat "$work/pcscd.log")"

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

step "pyscard: attributes, features, TLV properties, escape gate"
timeout 60 "$python" "$here/pcsc_attributes.py" "KYT Test" "$work/port" || fail "pcsc_attributes.py"

step "pcsc_client: T=1, T=0, empty slot, escape, reset, two threads, removal, bounce"
KYT_SIM_COMMANDS="$work/commands" KYT_SIM_LOG="$work/sim.log" timeout 180 \
  "$client" readers t1 t0 empty control reset threads removed bounce || fail "pcsc_client"

step "extended APDUs through opensc-tool"
# A card that OpenSC's MaskTech driver takes (by its ATR), which lets it send
# extended-length APDUs; kyt_sim gives a card named by its ATR the demo file
# system with extended lengths.
sim_command "insert 2 3B88800100000000778180007F" >/dev/null
for _ in $(seq 100); do
  timeout 10 opensc-tool -r 2 -a 2>/dev/null | grep -q '^3b:88:80:01' && break
  sleep 0.2
done
# The reader's TLV properties raise OpenSC's limits from short APDUs.
out=$(OPENSC_DEBUG=3 timeout 30 opensc-tool -r 2 -a 2>&1 || true)
expect_output "OpenSC reads dwMaxAPDUDataSize" 'Reader supports transceiving 65536 bytes of data' "$out"
# 300 bytes of EF 0101 in one response: Le 01 2C in extended form.
out=$(timeout 30 opensc-tool -r 2 -s '00 A4 00 0C 02 50 00' -s '00 A4 00 0C 02 01 01' -s '00 B0 00 00 00 01 2C' 2>&1 || true)
expect_output "extended READ BINARY" 'Received \(SW1=0x90, SW2=0x00\)' "$out"
expect_output "its last bytes (offsets 288 to 299)" '^85 84 87 86 81 80 83 82 8D 8C 8F 8E ' "$out"
# A 307-byte command with 300 data bytes: the card takes it whole and does
# not know the instruction (a cut command would be 67 00).
data=$(for i in $(seq 0 299); do printf '%02X ' $((i % 256)); done)
out=$(timeout 30 opensc-tool -r 2 -s "00 D6 00 00 00 01 2C $data" 2>&1 || true)
expect_output "extended UPDATE BINARY" 'Received \(SW1=0x6D, SW2=0x00\)' "$out"
sim_command "remove 2" >/dev/null

step "the reader disappears under pcscd"
stop_pid "$sim_pid" "the simulated reader"
sim_pid=
wait_slot0 No
kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd died when the reader went away"
rc=0
timeout 60 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' >"$work/gone.out" 2>&1 || rc=$?
[ "$rc" = 124 ] && fail "a client hung after the reader went away"
grep -q 'SW1=0x90' "$work/gone.out" && fail "an APDU was answered without a reader"
grep -q -E 'Failed|not present|unavailable' "$work/gone.out" || fail "no error for the vanished reader"
kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd died on a request to the vanished reader"

step "the reader is plugged in again, fresh at 9600 bit/s"
start=$(now)
start_sim
wait_slot0 Yes
echo "    card back $(seconds_since "$start") s after the port"
out=$(timeout 30 opensc-tool -r 0 -a)
expect_output "ATR after re-plug" '^3b:f9:96:00:00:81:31:fe:45' "$out"
out=$(timeout 30 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' 2>&1)
expect_output "SELECT after re-plug" 'SW1=0x90, SW2=0x00' "$out"
out=$(sim_command status)
expect_output "line speed after re-plug" '^ok: 115200 bit/s' "$out"

step "closing a reader that stopped answering"
kill -STOP "$sim_pid"
# Ten seconds without an answer, and the handler gives the reader up.
for _ in $(seq 600); do
  grep -q 'ifdkyt: .*the reader has not answered for' "$work/pcscd.log" && break
  sleep 0.1
done
grep -q 'ifdkyt: .*the reader has not answered for' "$work/pcscd.log" || fail "the silent reader was not given up"
start=$(now)
stop_pcscd
took=$(seconds_since "$start")
echo "    pcscd closed the reader and stopped in $took s"
below "$took" 5 || fail "closing the silent reader took $took s"
stop_pid "$sim_pid" "the simulated reader"
sim_pid=

# ---- A card emulator behind a slot ---------------------------------------------
# Debian's vicc (through scripts/vicc.sh) as the card of slot 0, on a port of
# the kernel's choice that kyt_sim announces.  Its iso7816 card answers
# SELECT without FCI, GET CHALLENGE and READ BINARY; a SELECT returning an
# FCI would end it.
vicc_pid=
start_vicc() { # port
  "$root/scripts/vicc.sh" --hostname 127.0.0.1 --port "$1" >>"$work/vicc.log" 2>&1 &
  vicc_pid=$!
}
expect_vicc_card() {
  out=$(timeout 30 opensc-tool -r 0 -a)
  expect_output "vicc's ATR" '^3b:95:13:81:01:80:73:ff:01:00:0b$' "$out"
  out=$(timeout 30 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' -s '00 A4 00 0C 02 2F E2' \
    -s '00 84 00 00 08' -s '00 B0 00 00 08' 2>&1) || { cat "$work/vicc.log" >&2; fail "opensc-tool on vicc's card"; }
  expect_output "vicc: SELECT MF" '^Received \(SW1=0x90, SW2=0x00\)$' "$out"
  expect_output "vicc: SELECT of a missing file" 'SW1=0x6A, SW2=0x82' "$out"
  expect_output "vicc: GET CHALLENGE, eight bytes" '^([0-9A-F]{2} ){8}' "$out"
  expect_output "vicc: READ BINARY without a file" 'SW1=0x69, SW2=0x86' "$out"
}

step "vicc behind slot 0 (--card 0:vpcd)"
start_sim --card 0:vpcd:0 --card 1:demo-t1
vicc_port=$(sed -n 's/^Slot 0 waits for a card emulator on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.log")
[ -n "$vicc_port" ] || fail "kyt_sim announced no port for slot 0"
start_pcscd "$work/reader.conf" "$work/pcscd-vpcd.log"
wait_slot0 No
start_vicc "$vicc_port"
wait_slot0 Yes
expect_vicc_card

step "vicc stopped: the slot is empty; started again: the card is back"
stop_pid "$vicc_pid" vicc
vicc_pid=
wait_slot0 No
expect_output "kyt_sim reports the emulator gone" 'slot 0: card emulator gone' "$(cat "$work/sim.log")"
start_vicc "$vicc_port"
wait_slot0 Yes
expect_vicc_card
stop_pid "$vicc_pid" vicc
vicc_pid=
stop_pcscd
stop_pid "$sim_pid" "the simulated reader"
sim_pid=

# ---- Options --------------------------------------------------------------------
step "options speed=57600:escape=all"
start_sim
write_conf "$work/reader-options.conf" "$work/port:speed=57600:escape=all"
start_pcscd "$work/reader-options.conf" "$work/pcscd-options.log"
out=$(sim_command status)
expect_output "speed=57600" '^ok: 57600 bit/s' "$out"
timeout 60 "$python" "$here/pcsc_attributes.py" "KYT Test" "$work/port" --escape-all ||
  fail "pcsc_attributes.py with escape=all"
stop_pcscd
stop_pid "$sim_pid" "the simulated reader"

step "malformed options are logged, the reader opens with defaults"
start_sim
write_conf "$work/reader-malformed.conf" "$work/port:speed=fast:bogus=1"
start_pcscd "$work/reader-malformed.conf" "$work/pcscd-malformed.log"
log=$(cat "$work/pcscd-malformed.log")
expect_output "speed=fast logged" 'ifdkyt: .*option speed=fast ignored' "$log"
expect_output "bogus=1 logged" 'ifdkyt: .*unknown option "bogus=1" ignored' "$log"
out=$(sim_command status)
expect_output "default speed" '^ok: 115200 bit/s' "$out"
out=$(timeout 30 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' 2>&1)
expect_output "SELECT with malformed options" 'SW1=0x90, SW2=0x00' "$out"
stop_pcscd
stop_pid "$sim_pid" "the simulated reader"

step "a reader that refuses 115200 bit/s"
start_sim --max-speed 38400
start_pcscd "$work/reader.conf" "$work/pcscd-refused.log"
out=$(sim_command status)
expect_output "speed kept" '^ok: 9600 bit/s' "$out"
expect_output "refusal logged" 'ifdkyt: .*did not take 115200 bit/s' "$(cat "$work/pcscd-refused.log")"
out=$(timeout 30 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' 2>&1)
expect_output "SELECT on the refusing reader" 'SW1=0x90, SW2=0x00' "$out"
stop_pcscd
stop_pid "$sim_pid" "the simulated reader"
sim_pid=

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
