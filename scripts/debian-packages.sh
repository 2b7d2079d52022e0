#!/usr/bin/env bash
# Builds the Debian packages of libkyt for one architecture from a copy of the
# source tree with dpkg-buildpackage, checks each package's architecture and
# contents, and runs lintian on the result.
#
#   scripts/debian-packages.sh ARCH OUTDIR
#
# ARCH is this machine's architecture (a native build, running the test suite
# unless DEB_BUILD_OPTIONS has nocheck) or another Debian release
# architecture: armhf, armel, arm64, i386, mips64el, ppc64el or s390x (a cross
# build with Debian's cross compilers, always without tests).  Missing build
# dependencies are installed with apt-get, for a cross build after adding ARCH
# as a foreign architecture (scripts/install-deps.sh).  OUTDIR receives the
# .deb, .changes and .buildinfo files; the source tree itself is left
# untouched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 2 ] || { echo "usage: $0 ARCH OUTDIR" >&2; exit 2; }
arch=$1
out=$(mkdir -p "$2" && cd "$2" && pwd)
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
fail() { echo "debian-packages ($arch): $*" >&2; exit 1; }

"$root/scripts/install-deps.sh" dpkg-dev debhelper lintian
native=$(dpkg --print-architecture)
if [ "$arch" = "$native" ]; then
  cross=()
  profiles=()
  [[ " ${DEB_BUILD_OPTIONS:-} " == *" nocheck "* ]] && profiles=(-Pnocheck)
else
  cross=(-a "$arch")
  profiles=(-Pcross,nocheck)
  export DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
fi

# ---- Build dependencies ------------------------------------------------------
# For a cross build these are the cross compilers (crossbuild-essential-ARCH,
# whose root holds the target's C and C++ development files) and the
# target's multiarch packages the build names: libpcsclite-dev and pkgconf of
# ARCH, and the target's runtimes (libc6, libstdc++6 and, for armel's 64-bit
# atomics, libatomic1 of ARCH), from whose symbols files dpkg-shlibdeps
# writes the dependencies.
# libc6-dev:ARCH is not needed and not asked for: for the architectures that
# Debian's security archive no longer carries (armel, mips64el, s390x) it
# cannot be installed beside the machine's newer linux-libc-dev and libssl3.
cross_deps=()
[ "$arch" = "$native" ] || cross_deps=("crossbuild-essential-$arch" "libc6:$arch" "libstdc++6:$arch" "libatomic1:$arch")
"$root/scripts/install-deps.sh" "${cross_deps[@]}"
if ! (cd "$root" && dpkg-checkbuilddeps "${cross[@]}" "${profiles[@]}" 2>/dev/null); then
  "$root/scripts/apt-update.sh"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get build-dep -y -qq "${cross[@]}" "${profiles[@]}" "$root" >/dev/null
fi

# ---- Build -------------------------------------------------------------------
# From a copy holding what git tracks (and new files not yet added), so that
# no build folder of the work tree comes along and none is left in it.
version=$(cd "$root" && dpkg-parsechangelog -S Version)
src=$out/libkyt-${version%-*}
rm -rf "$src"
mkdir -p "$src"
if [ -e "$root/.git" ]; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do if [ -e "$f" ]; then printf '%s\0' "$f"; fi; done |
    tar -c --null -T - -f -) | tar -x -C "$src"
else
  tar -c -C "$root" --exclude='./build*' --exclude='./out*' . | tar -x -C "$src"
fi
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
start=$SECONDS
(cd "$src" && DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage "${cross[@]}" "${profiles[@]}" -us -uc -b >"$out/build-$arch.log" 2>&1) ||
  { tail -60 "$out/build-$arch.log"; fail "dpkg-buildpackage failed (log: $out/build-$arch.log)"; }
echo "--- $arch: packages built in $((SECONDS - start)) s"
rm -rf "$src"

# ---- Architecture and contents -----------------------------------------------
multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
upstream=${version%-*}
# readelf's machine, byte order and, for the two 32-bit ARM ABIs, float ABI.
data='little endian'
float_abi=''
case $arch in
  amd64) machine='Advanced Micro Devices X86-64' ;;
  i386) machine='Intel 80386' ;;
  armhf) machine='ARM' float_abi='hard-float ABI' ;;
  armel) machine='ARM' float_abi='soft-float ABI' ;;
  arm64) machine='AArch64' ;;
  mips64el) machine='MIPS R3000' ;;
  ppc64el) machine='PowerPC64' ;;
  s390x) machine='IBM S/390' data='big endian' ;;
  *) fail "no ELF machine known for $arch" ;;
esac

expected_files() { # package
  case $1 in
    libkyt1) printf '%s\n' "usr/lib/$multiarch/libkyt.so.1" "usr/lib/$multiarch/libkyt.so.$upstream" ;;
    libkyt-dev) printf '%s\n' usr/include/kyt.h "usr/lib/$multiarch/libkyt.so" \
      "usr/lib/$multiarch/pkgconfig/kyt.pc" "usr/lib/$multiarch/cmake/kyt/kytConfig.cmake" \
      "usr/lib/$multiarch/cmake/kyt/kytConfigVersion.cmake" "usr/lib/$multiarch/cmake/kyt/kytTargets.cmake" \
      "usr/lib/$multiarch/cmake/kyt/kytTargets-none.cmake" ;;
    kyt-tools) printf '%s\n' usr/bin/kyt_probe usr/bin/kyt_sandbox usr/bin/kyt_sim usr/bin/kyt_test \
      usr/share/man/man1/kyt_probe.1.gz usr/share/man/man1/kyt_sandbox.1.gz usr/share/man/man1/kyt_sim.1.gz \
      usr/share/man/man1/kyt_test.1.gz ;;
    libifdkyt) printf '%s\n' usr/lib/pcsc/drivers/serial/libifdkyt.so \
      usr/share/doc/libifdkyt/examples/reader.conf.d/kyt usr/share/man/man8/ifdkyt.8.gz ;;
  esac
  printf '%s\n' "usr/share/doc/$1/changelog.Debian.gz" "usr/share/doc/$1/copyright" \
    "usr/share/lintian/overrides/$1"
}

field() { dpkg-deb -f "$1" "$2"; }
control_file() { # deb name
  local dir
  dir=$(mktemp -d)
  dpkg-deb -e "$1" "$dir"
  cat "$dir/$2" 2>/dev/null || true
  rm -rf "$dir"
}

for package in libkyt1 libkyt-dev kyt-tools libifdkyt; do
  deb=$out/${package}_${version}_$arch.deb
  [ -f "$deb" ] || fail "no $(basename "$deb")"
  [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$package: Architecture $(field "$deb" Architecture)"
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $6}' | sort)
  if ! diff -u <(expected_files "$package" | sort) <(echo "$files") >"$out/contents.diff"; then
    cat "$out/contents.diff"
    fail "$package: unexpected contents (- missing, + extra)"
  fi
  rm -f "$out/contents.diff"
  # Every program and library is built for ARCH.
  tree=$(mktemp -d)
  dpkg-deb -x "$deb" "$tree"
  while IFS= read -r -d '' f; do
    head -c 4 "$f" | grep -q $'^\x7fELF' || continue
    header=$(readelf -h "$f")
    got=$(sed -n 's/^ *Machine: *//p' <<<"$header")
    [ "$got" = "$machine" ] || fail "$package: ${f#"$tree"/} is for '$got', not '$machine'"
    got=$(sed -n 's/^ *Data: *//p' <<<"$header")
    [ "$got" = "2's complement, $data" ] || fail "$package: ${f#"$tree"/} is '$got', not $data"
    if [ -n "$float_abi" ]; then
      grep -q "$float_abi" <<<"$header" || fail "$package: ${f#"$tree"/} does not use the $float_abi"
    fi
  done < <(find "$tree" -type f -print0)
  rm -rf "$tree"
done

# The library: the fourteen functions in its symbols file, nothing but the C
# library as a dependency (the C++ runtime is linked in), the ldconfig trigger.
lib=$out/libkyt1_${version}_$arch.deb
[ "$(field "$lib" Multi-Arch)" = same ] || fail "libkyt1 is not Multi-Arch: same"
[ "$(field "$out/libkyt-dev_${version}_$arch.deb" Multi-Arch)" = same ] || fail "libkyt-dev is not Multi-Arch: same"
field "$lib" Depends | grep -Eqx 'libc6 \(>= [0-9.]+\)' || fail "libkyt1 depends on: $(field "$lib" Depends)"
functions=$(control_file "$lib" symbols | sed -n 's/^ \(KYT_[A-Za-z]*\)@LIBKYT_1 .*/\1/p' | sort | tr '\n' ' ')
[ "$functions" = "KYT_Close KYT_Control KYT_ExchangeApdu KYT_GetBaudRate KYT_GetIccStatus KYT_GetNumSlots KYT_GetTimeouts KYT_OpenA KYT_OpenW KYT_PowerOffIcc KYT_PowerOnIcc KYT_SetBaudRate KYT_SetProtocol KYT_SetTimeouts " ] ||
  fail "libkyt1's symbols file lists: $functions"
control_file "$lib" triggers | grep -q '^activate-noawait ldconfig$' || fail "libkyt1 has no ldconfig trigger"
field "$out/libkyt-dev_${version}_$arch.deb" Depends | grep -q "libkyt1 (= $version)" || fail "libkyt-dev does not depend on libkyt1 (= $version)"
field "$out/kyt-tools_${version}_$arch.deb" Depends | grep -q 'libkyt1 (>= ' || fail "kyt-tools does not depend on libkyt1"
# kyt_sandbox runs the driver and pcscd: recommended, not depended on, so that
# kyt_test on a board without PC/SC pulls in no daemon.
field "$out/kyt-tools_${version}_$arch.deb" Recommends | grep -q "libifdkyt (= $version), pcscd" ||
  fail "kyt-tools recommends: $(field "$out/kyt-tools_${version}_$arch.deb" Recommends)"
# The driver: pcscd, and an example entry that names the handler where the
# package puts it.
driver=$out/libifdkyt_${version}_$arch.deb
field "$driver" Depends | grep -Eq '(^|, )pcscd(,|$)' || fail "libifdkyt does not depend on pcscd"
tree=$(mktemp -d)
dpkg-deb -x "$driver" "$tree"
grep -Eq '^LIBPATH +/usr/lib/pcsc/drivers/serial/libifdkyt.so$' "$tree/usr/share/doc/libifdkyt/examples/reader.conf.d/kyt" ||
  fail "the example reader.conf entry does not name /usr/lib/pcsc/drivers/serial/libifdkyt.so"
rm -rf "$tree"

for deb in "$out"/*_"$arch".deb; do
  echo "--- $(basename "$deb"): $(field "$deb" Depends)"
done

# ---- lintian -------------------------------------------------------------------
changes=$out/libkyt_${version}_$arch.changes
start=$SECONDS
lintian --fail-on error,warning "$changes" ||
  fail "lintian found errors or warnings"
echo "--- $arch: lintian clean ($((SECONDS - start)) s)"
