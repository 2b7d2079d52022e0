#!/usr/bin/env bash
# The Debian packages on this machine's architecture, built, installed, used
# and purged:
#  - scripts/debian-packages.sh builds libkyt1, libkyt-dev, kyt-tools and
#    libifdkyt from debian/ with dpkg-buildpackage (running the test suite, as
#    a user's build would, under Debian's compiler flags) and checks their
#    architecture, contents and lintian;
#  - the packages are installed; examples/consumer is built against them with
#    pkg-config and with find_package(kyt), and run, like kyt_test, against
#    the installed kyt_sim;
#  - pcscd loads the installed driver in a mount namespace of its own (its own
#    /run/pcscd, so it never meets a system pcscd), from a reader.conf made
#    of the package's example entry, and opensc-tool sees the three slots and
#    reads the demo cards' ATRs;
#  - the installed kyt_sandbox runs opensc-tool against its own pcscd;
#  - the packages are purged, and nothing of them may be left: no file, no
#    /etc entry, no dpkg record, no ldconfig entry.
# Needs root (dpkg, unshare, mount).
#
#   KYT_PACKAGES_DIR   where the packages are built (default build-packages/)
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
out=${KYT_PACKAGES_DIR:-$root/build-packages}
packages=(libkyt1 libkyt-dev kyt-tools libifdkyt)

fail() { echo "40-packages: $*" >&2; exit 1; }

# shellcheck source=scripts/lib/pcscd.sh
source "$root/scripts/lib/pcscd.sh"
# shellcheck source=scripts/lib/sim.sh
source "$root/scripts/lib/sim.sh"

# Starts the installed kyt_sim on WORK/port and waits for its ready line.
start_sim() { # work
  sim_start "$1/sim.log" /usr/bin/kyt_sim --link "$1/port" || fail "kyt_sim did not become ready"
  [ "$sim_port" = "$1/port" ] || fail "kyt_sim announced $sim_port, not $1/port"
}

stop_pid() { # pid
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# ---- The driver in a private pcscd (run in a mount namespace of its own) ----
pcscd_check() { # work
  local work=$1 out
  trap 'pcscd_cleanup; [ -z "$sim_pid" ] || stop_pid "$sim_pid"' EXIT
  pcscd_private_run "$work/run" || fail "no private /run/pcscd"
  start_sim "$work"
  # The package's example entry, pointed at the simulator.
  sed -e "s|^DEVICENAME .*|DEVICENAME $work/port|" -e 's|^FRIENDLYNAME .*|FRIENDLYNAME "KYT Package"|' \
    /usr/share/doc/libifdkyt/examples/reader.conf.d/kyt >"$work/reader.conf"
  pcscd_start "$work/reader.conf" "$work/pcscd.log"
  pcscd_wait_readers 'KYT Package 00 0[0-2]' 3 || fail "pcscd does not list the three slots"
  out=$(timeout 30 opensc-tool -l) || fail "opensc-tool -l failed"
  echo "$out" | sed 's/^/    /'
  for slot in 0 1 2; do
    grep -q "^$slot .*KYT Package 00 0$slot" <<<"$out" || { pcscd_log_tail; fail "pcscd does not list slot $slot"; }
  done
  out=$(timeout 30 opensc-tool -r 0 -a) || fail "opensc-tool -r 0 -a failed"
  [ "$out" = 3b:f9:96:00:00:81:31:fe:45:80:31:80:73:90:21:00:81:05:13 ] || fail "slot 0 ATR: $out"
  out=$(timeout 30 opensc-tool -r 1 -a) || fail "opensc-tool -r 1 -a failed"
  [ "$out" = 3b:17:18:80:31:80:73:90:21:00 ] || fail "slot 1 ATR: $out"
  out=$(timeout 30 opensc-tool -r 0 -s '00 A4 00 0C 02 3F 00' 2>&1) || fail "opensc-tool -s failed: $out"
  grep -q 'SW1=0x90, SW2=0x00' <<<"$out" || fail "SELECT MF through pcscd: $out"
  echo "--- pcscd: three slots, both ATRs and an APDU through the installed driver"
}
if [ "${1:-}" = --pcscd-in-namespace ]; then
  pcscd_check "$2"
  exit 0
fi

"$root/scripts/install-deps.sh" gcc pcscd opensc

arch=$(dpkg --print-architecture)
"$root/scripts/debian-packages.sh" "$arch" "$out"
version=$(cd "$root" && dpkg-parsechangelog -S Version)
debs=()
for p in "${packages[@]}"; do debs+=("$out/${p}_${version}_$arch.deb"); done

# Nothing of libkyt may be on the machine beforehand, or the purge check below
# would prove nothing.
not_installed() { # package
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true)
  [ -z "$status" ] || [ "$status" = not-installed ]
}
for p in "${packages[@]}"; do
  not_installed "$p" || fail "$p is already on this machine; purge it first"
done
[ -z "$(ldconfig -p | grep libkyt)" ] || fail "a libkyt is already known to ldconfig"
[ -z "$(find /etc -iname '*kyt*' -print -quit)" ] || fail "/etc already holds a kyt file"

work=$(mktemp -d /tmp/kyt-packages.XXXXXX)
sim_pid=""
installed=0
cleanup() {
  [ -n "$sim_pid" ] && stop_pid "$sim_pid"
  [ "$installed" = 1 ] && dpkg --purge "${packages[@]}" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# ---- Install -------------------------------------------------------------------
installed=1
dpkg -i "${debs[@]}" >/dev/null
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$p")" = installed ] || fail "$p is not installed"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
installed_lib=$(readlink -f "/usr/lib/$multiarch/libkyt.so.1")
# (With merged /usr, ldconfig and ldd may name /lib/... for /usr/lib/...)
same_file() { [ -n "$1" ] && [ "$(readlink -f "$1")" = "$installed_lib" ]; }
same_file "$(ldconfig -p | awk '$1 == "libkyt.so.1" {print $NF}')" ||
  fail "ldconfig does not know the installed libkyt.so.1"
[ -z "$(dpkg -L libifdkyt | grep '^/etc')" ] || fail "libifdkyt installs into /etc"
[ "$(pkg-config --modversion kyt)" = "${version%-*}" ] || fail "pkg-config reports kyt $(pkg-config --modversion kyt)"

# ---- The consumer, built both ways, and kyt_test, against the simulator -------
cc "$root/examples/consumer/consumer.c" $(pkg-config --cflags --libs kyt) -Wall -Wextra -Werror \
  -o "$work/consumer-pkgconfig"
cmake -S "$root/examples/consumer" -B "$work/cmake" >/dev/null
cmake --build "$work/cmake" >/dev/null
consumers=("$work/consumer-pkgconfig" "$work/cmake/consumer")
start_sim "$work"
for c in "${consumers[@]}"; do
  same_file "$(ldd "$c" | awk '$1 == "libkyt.so.1" {print $3}')" || fail "$c does not use the installed libkyt.so.1"
  output=$(timeout 60 "$c" "$work/port") || fail "$c failed: $output"
  grep -qx 'Slots: 3' <<<"$output" || fail "$c: wrong slot count: $output"
  grep -qx 'Response: 6F 14 82 01 38 83 02 50 00 84 08 F0 4B 59 54 44 45 4D 4F 8A 01 05 90 00' <<<"$output" ||
    fail "$c: wrong response: $output"
done
echo "--- consumer (pkg-config and CMake builds) answered by the installed kyt_sim"

# kyt_test through its menus: card menu, slot 0, power on, an APDU script.
cat >"$work/select.apdu" <<'EOF'
00 A4 00 0C 02 3F00
90 00
00 A4 04 00 08 F0 4B 59 54 44 45 4D 4F 00
6F 14 82 01 38 83 02 50 00 84 08 F0 4B 59 54 44 45 4D 4F 8A 01 05 90 00
EOF
output=$(printf '2\n0\n1\n\n5\n%s\n\n0\n0\n' "$work/select.apdu" | timeout 60 /usr/bin/kyt_test "$work/port") ||
  fail "kyt_test failed: $output"
grep -qx 'Slots: 3' <<<"$output" || fail "kyt_test: no slot count: $output"
grep -qx '3B F9 96 00 00 81 31 FE 45 80 31 80 73 90 21 00' <<<"$output" || fail "kyt_test: no ATR: $output"
[ "$(echo "$output" | grep -cx 'Compare OK')" = 2 ] || fail "kyt_test: the APDU script did not pass: $output"
! grep -q '^Error' <<<"$output" || fail "kyt_test reported an error: $output"
echo "--- kyt_test powered the card on and ran an APDU script through the installed libkyt"
stop_pid "$sim_pid"
sim_pid=""
rm -f "$work/sim.log"

pcscd_namespace "$0" --pcscd-in-namespace "$work"

# The installed kyt_sandbox, as root and as an ordinary user: it finds the
# installed kyt_sim and driver, and keeps the driver visible to its pcscd
# although it lies in the drivers folder the sandbox hides.
for as in root nobody; do
  output=$(cd / && timeout 60 runuser -u "$as" -- env TMPDIR=/tmp /usr/bin/kyt_sandbox -- opensc-tool -l 2>&1) ||
    fail "kyt_sandbox as $as: $output"
  [ "$(grep -c 'KYT Sim 00 0[0-2]' <<<"$output")" = 3 ] || fail "kyt_sandbox as $as: $output"
done
echo "--- the installed kyt_sandbox: three slots through its private pcscd, as root and as nobody"

# ---- Purge: nothing may be left ---------------------------------------------------
files=$(for deb in "${debs[@]}"; do dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}'; done)
dpkg --purge "${packages[@]}" >/dev/null
installed=0
for p in "${packages[@]}"; do
  not_installed "$p" || fail "$p is still known to dpkg after the purge"
  [ -z "$(find /var/lib/dpkg/info -name "$p.*" -o -name "$p:*")" ] || fail "dpkg still has files of $p"
  [ ! -e "/usr/share/doc/$p" ] || fail "/usr/share/doc/$p left behind"
done
left=$(while IFS= read -r f; do if [ -e "$f" ] || [ -L "$f" ]; then echo "$f"; fi; done <<<"$files")
[ -z "$left" ] || fail "left behind: $left"
[ ! -e "/usr/lib/$multiarch/cmake/kyt" ] || fail "the CMake package folder is left behind"
[ -z "$(find /etc -iname '*kyt*' -print -quit)" ] || fail "/etc holds a kyt file after the purge"
[ -z "$(ldconfig -p | grep libkyt)" ] || fail "ldconfig still knows libkyt after the purge"
echo "--- packages purged: no file, /etc entry, dpkg record or ldconfig entry left"
