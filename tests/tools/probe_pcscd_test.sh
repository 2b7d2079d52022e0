#!/usr/bin/env bash
# kyt_probe as a person bringing a reader up uses it, with the real pcscd:
#  - the default scan finds the simulated reader under /dev/ttyS0 (where
#    the machine has one) and its udev links, probed once, and tells the
#    driver and latency timer of the FTDI adapter that sysfs describes;
#  - --reader-conf names the by-id link, and pcscd loads the entry: three
#    slots, and an APDU through them;
#  - while pcscd holds the reader, kyt_probe names pcscd and sends nothing,
#    and kyt_test reports EBUSY;
#  - while kyt_test holds the reader, pcscd cannot open it.
# Runs in a mount namespace of its own: a private /run/pcscd, udev links of
# its own under /dev/serial (a tmpfs), the simulator's pty bound over
# /dev/ttyS0, and a /sys/dev/char of its own in which that pty is the tty of
# an FTDI adapter.  Needs root.
#
#   probe_pcscd_test.sh BUILD_DIR WORK_DIR
#
# BUILD_DIR holds pcsc/libifdkyt.so, sim/kyt_sim, tools/probe/kyt_probe and
# tools/test/kyt_test.  Exits non-zero on the first failed check.
set -euo pipefail
build=$1
work=$2
probe=$build/tools/probe/kyt_probe
handler=$build/pcsc/libifdkyt.so
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib/pcscd.sh
source "$root/scripts/lib/pcscd.sh"
# shellcheck source=scripts/lib/sim.sh
source "$root/scripts/lib/sim.sh"

pcscd_enter_namespace "$0" "$@"

made=()
holder_pid=
cleanup() {
  pcscd_cleanup
  for pid in $holder_pid $sim_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $holder_pid $sim_pid; do wait "$pid" 2>/dev/null || true; done
  exec 3>&- 2>/dev/null || true
  umount /sys/dev/char 2>/dev/null || true
  umount /dev/ttyS0 2>/dev/null || true
  umount /dev/serial 2>/dev/null || true
  for dir in "${made[@]}"; do rmdir "$dir" 2>/dev/null || true; done
}
trap cleanup EXIT

rm -rf "$work"
pcscd_private_run "$work/run"
[ -d /dev/serial ] || { mkdir -p /dev/serial; made+=(/dev/serial); }

step() { echo "--- $*"; }
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do echo "=== $log" >&2; tail -20 "$log" >&2; done
  exit 1
}
expect() { # description pattern text
  grep -q -E -- "$2" <<<"$3" || { echo "$3" >&2; fail "$1: no line matching '$2'"; }
}

sim_start "$work/sim.log" "$build/sim/kyt_sim" --link "$work/port" || fail "the simulated reader did not start"
pty=$(readlink -f "$work/port")

# udev's links, as for an FTDI adapter with a serial number.
by_id=/dev/serial/by-id/usb-KYT_Test_Reader_K0000001-if00-port0
by_path=/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0
mount -t tmpfs -o mode=0755 none /dev/serial
mkdir /dev/serial/by-id /dev/serial/by-path
ln -s "$pty" "$by_id"
ln -s "$pty" "$by_path"

# sysfs as for an FTDI adapter: /sys/dev/char/MAJOR:MINOR leads to the tty
# below a USB bus, whose parent has the driver and the latency timer.
port_device=$work/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0
mkdir -p "$port_device/tty/ttyUSB0" "$work/sys/drivers/ftdi_sio" "$work/sys/dev/char"
ln -s "$work/sys/drivers/ftdi_sio" "$port_device/driver"
echo 16 >"$port_device/latency_timer"
ln -s "$port_device" "$port_device/tty/ttyUSB0/device"
ln -s "$port_device/tty/ttyUSB0" "$work/sys/dev/char/$((0x$(stat -c '%t' "$pty"))):$((0x$(stat -c '%T' "$pty")))"
mount --bind "$work/sys/dev/char" /sys/dev/char

if [ -c /dev/ttyS0 ]; then
  mount --bind "$pty" /dev/ttyS0
  step "kyt_probe with no arguments"
  rc=0
  out=$(timeout 120 "$probe") || rc=$?
  echo "$out" | sed 's/^/    /'
  [ "$rc" = 0 ] || fail "kyt_probe exited with $rc"
  expect "the reader under ttyS0" '^/dev/ttyS0$' "$out"
  expect "its stable names" "^  names: +$by_id $by_path\$" "$out"
  # The fake timer file does not follow the driver's flag, as ftdi_sio's does.
  expect "the adapter" '^  device: +USB adapter, driver ftdi_sio, latency timer 16 ms \(libkyt could not lower it\)$' "$out"
  expect "the reader" '^  reader: +KYT7710P_V3, 3 slots, found at 9600 bit/s$' "$out"
  [ "$(grep -c '^  reader:' <<<"$out")" = 1 ] || fail "the reader was probed more than once"
else
  echo "--- skipped: no /dev/ttyS0 to stand in for a serial port in the default scan"
fi

step "kyt_probe --reader-conf"
"$probe" --reader-conf --libpath "$handler" "$work/port" >"$work/reader.conf" || fail "--reader-conf failed"
sed 's/^/    /' "$work/reader.conf"
conf=$(cat "$work/reader.conf")
expect "DEVICENAME by id" "^DEVICENAME   $by_id\$" "$conf"
expect "by-path beside it" "^#   DEVICENAME $by_path\$" "$conf"
expect "LIBPATH" "^LIBPATH      $handler\$" "$conf"

step "pcscd loads the entry"
pcscd_start "$work/reader.conf" "$work/pcscd.log" -d
pcscd_wait_readers 'KYT7710P_V3 00 0[0-2]' 3 || fail "pcscd does not list the three slots"
out=$(timeout 30 opensc-tool -l)
echo "$out" | sed 's/^/    /'
[ "$(grep -c 'KYT7710P_V3 00 0[0-2]' <<<"$out")" = 3 ] || fail "pcscd does not list the three slots"
out=$(timeout 30 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' 2>&1)
expect "SELECT MF through pcscd" 'SW1=0x90, SW2=0x00' "$out"

step "kyt_probe and kyt_test while pcscd holds the reader"
rc=0
out=$(timeout 60 "$probe" "$work/port") || rc=$?
echo "$out" | sed 's/^/    /'
[ "$rc" = 1 ] || fail "kyt_probe on the held port exited with $rc"
expect "pcscd named" "^  in use: +another program holds the port: pcscd \\(pid $pcscd_pid\\); nothing was sent\$" "$out"
out=$(echo 0 | timeout 60 "$build/tools/test/kyt_test" "$work/port")
expect "kyt_test" '^Error: KYT_Open failed with error 0x00000010$' "$out"
out=$(timeout 30 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' 2>&1)
expect "pcscd's reader still works" 'SW1=0x90, SW2=0x00' "$out"
pcscd_stop || fail "pcscd did not stop"

step "pcscd while kyt_test holds the reader"
mkfifo "$work/keys"
"$build/tools/test/kyt_test" "$work/port" <"$work/keys" >"$work/kyt_test.log" 2>&1 &
holder_pid=$!
exec 3>"$work/keys"
for _ in $(seq 100); do
  grep -q 'KYT_Open: OK' "$work/kyt_test.log" && break
  sleep 0.1
done
grep -q 'KYT_Open: OK' "$work/kyt_test.log" || fail "kyt_test did not open the reader"
pcscd_start "$work/reader.conf" "$work/pcscd-held.log" -d
for _ in $(seq 150); do
  grep -q 'Open Port .* Failed' "$work/pcscd-held.log" && break
  sleep 0.2
done
grep 'Open Port\|ifdkyt' "$work/pcscd-held.log" | sed 's/^/    /'
expect "pcscd cannot open the held port" "Open Port 0x[0-9A-F]+ Failed \\($by_id\\)" "$(cat "$work/pcscd-held.log")"
[ "$(opensc-tool -l 2>/dev/null | grep -c 'KYT7710P_V3')" = 0 ] || fail "pcscd lists a reader it could not open"
echo 0 >&3
exec 3>&-
wait "$holder_pid" || true
holder_pid=
echo "kyt_probe with pcscd passed"
