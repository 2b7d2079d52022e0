#!/usr/bin/env bash
# Installation and Debian packages for this machine's architecture: checks
# what `cmake --install` lays out, builds libkyt1, libkyt-dev and kyt-tools,
# installs them, builds examples/consumer against them with pkg-config and
# with find_package(kyt), runs it against the installed kyt_sim, and removes
# the packages again.
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
build=$root/build-packages
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
"$root/scripts/install-deps.sh" gcc dpkg-dev

fail() { echo "40-packages: $*" >&2; exit 1; }

rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DKYT_BUILD_TESTS=OFF
cmake --build "$build" -j "$jobs"

# ---- What an installation holds ----------------------------------------------
stage=$build/stage
DESTDIR=$stage cmake --install "$build" >/dev/null
found=$(cd "$stage/usr" && find lib -name libkyt.so.1.0.1 | head -1)
[ -n "$found" ] || fail "no libkyt.so.1.0.1 installed"
libdir=$(dirname "$found")
expected=(
  "usr/$libdir/libkyt.so.1.0.1"
  "usr/$libdir/libkyt.so.1"
  "usr/$libdir/libkyt.so"
  "usr/$libdir/pkgconfig/kyt.pc"
  "usr/$libdir/cmake/kyt/kytConfig.cmake"
  "usr/$libdir/cmake/kyt/kytConfigVersion.cmake"
  "usr/$libdir/cmake/kyt/kytTargets.cmake"
  "usr/include/kyt.h"
  "usr/bin/kyt_test"
  "usr/bin/kyt_sim"
  "usr/share/man/man1/kyt_test.1"
  "usr/share/man/man1/kyt_sim.1"
)
for f in "${expected[@]}"; do
  [ -e "$stage/$f" ] || fail "installation lacks $f"
done
[ "$(readlink "$stage/usr/$libdir/libkyt.so.1")" = libkyt.so.1.0.1 ] || fail "libkyt.so.1 does not point at libkyt.so.1.0.1"
[ "$(readlink "$stage/usr/$libdir/libkyt.so")" = libkyt.so.1 ] || fail "libkyt.so does not point at libkyt.so.1"
echo "--- installed files:"
(cd "$stage" && find . \( -type f -o -type l \) | sed 's|^\./|    |' | sort)
# Never the internal static libraries, the test programs or GoogleTest.
if (cd "$stage" && find . \( -name '*.a' -o \( -name '*_test' ! -name kyt_test \) -o -name '*gtest*' -o -name '*gmock*' \) | grep .); then
  fail "the installation holds static libraries or tests"
fi

# ---- Packages ------------------------------------------------------------------
(cd "$build" && cpack -G DEB -B "$build/packages")
arch=$(dpkg --print-architecture)
debs=()
for name in libkyt1 libkyt-dev kyt-tools; do
  deb=$(ls "$build"/packages/${name}_*_"$arch".deb 2>/dev/null) || fail "no $name package"
  debs+=("$deb")
  echo "--- $(basename "$deb") ($(stat -c %s "$deb") bytes)"
  dpkg-deb -f "$deb" Package Version Architecture Depends
  dpkg-deb -c "$deb" | awk '{print "    " $6 ($7 ? " " $7 " " $8 : "")}' | cat
done
contents() { dpkg-deb -c "$1" | awk '{print $6}'; }
contents "${debs[0]}" | grep -qx './usr/lib/.*/libkyt.so.1.0.1' || fail "libkyt1 lacks libkyt.so.1.0.1"
contents "${debs[0]}" | grep -qx './usr/lib/.*/libkyt.so' && fail "libkyt1 holds the development link"
contents "${debs[1]}" | grep -qx './usr/lib/.*/libkyt.so' || fail "libkyt-dev lacks the development link"
contents "${debs[2]}" | grep -qx './usr/bin/kyt_sim' || fail "kyt-tools lacks kyt_sim"

sim_pid=""
work=$(mktemp -d)
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  $sudo_cmd dpkg -r kyt-tools libkyt-dev libkyt1 >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

$sudo_cmd dpkg -i "${debs[@]}"
[ -x /usr/bin/kyt_sim ] && [ -x /usr/bin/kyt_test ] || fail "programs not installed"
pkg-config --exists kyt || fail "pkg-config does not know kyt"
[ "$(pkg-config --modversion kyt)" = 1.0.1 ] || fail "pkg-config reports version $(pkg-config --modversion kyt)"

# ---- The consumer, built both ways -----------------------------------------------
cc "$root/examples/consumer/consumer.c" $(pkg-config --cflags --libs kyt) -Wall -Wextra -Werror \
  -o "$work/consumer-pkgconfig"
cmake -S "$root/examples/consumer" -B "$work/cmake" >/dev/null
cmake --build "$work/cmake" >/dev/null
consumers=("$work/consumer-pkgconfig" "$work/cmake/consumer")
for c in "${consumers[@]}"; do
  readelf -d "$c" | grep -q 'NEEDED.*\[libkyt.so.1\]' || fail "$c does not link libkyt.so.1"
done

# ---- ...and run against the installed simulator ------------------------------------
/usr/bin/kyt_sim --link "$work/port" >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 300); do
  grep -q "^Simulated reader ready on $work/port\$" "$work/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log"; fail "kyt_sim ended early"; }
  sleep 0.1
done
grep -q "^Simulated reader ready on $work/port\$" "$work/sim.log" || fail "kyt_sim did not become ready"

for c in "${consumers[@]}"; do
  output=$(timeout 60 "$c" "$work/port") || fail "$c failed: $output"
  echo "$output" | sed 's/^/    /'
  echo "$output" | grep -qx 'Slots: 3' || fail "$c: wrong slot count"
  echo "$output" | grep -q '^ATR: 3B' || fail "$c: no ATR"
  echo "$output" | grep -qx 'Protocol: T=1' || fail "$c: wrong protocol"
  echo "$output" | grep -qx 'Response: 6F 14 82 01 38 83 02 50 00 84 08 F0 4B 59 54 44 45 4D 4F 8A 01 05 90 00' \
    || fail "$c: wrong response"
done
# A port with no reader behind it is reported, not hung on.
if timeout 60 "${consumers[0]}" "$work/no-such-port" >/dev/null 2>&1; then
  fail "the consumer succeeded without a reader"
fi

kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
[ ! -e "$work/port" ] || fail "kyt_sim left its link behind"

$sudo_cmd dpkg -r kyt-tools libkyt-dev libkyt1
for p in kyt-tools libkyt-dev libkyt1; do
  dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed' && fail "$p still installed"
done
[ ! -e /usr/bin/kyt_sim ] || fail "kyt_sim left after removal"
echo "packages built, installed, used and removed"
