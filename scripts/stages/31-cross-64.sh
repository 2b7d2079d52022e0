#!/usr/bin/env bash
# Cross builds for 64-bit ARM (arm64) and big-endian 64-bit IBM Z (s390x):
#  - the arm64 Debian packages, built with dpkg-buildpackage -a arm64 and
#    checked for their architecture, contents and lintian (s390x's are built
#    with the other architectures' in 35-packages-every-arch.sh);
#  - for both, the library, the programs and the whole test suite, the PC/SC
#    handler's tests included, built with Debian's cross compilers and run
#    under qemu-aarch64 and qemu-s390x (scripts/cross-suite.sh).  s390x is
#    Debian's big-endian architecture: its run is the one that proves every
#    multi-byte field on the line, in the simulator and in the handler's
#    attributes is put together byte by byte rather than copied from memory.
# The two builds take turns on the machine's cores; the two emulated suites
# then run side by side, two tests at a time each: their tests spend most of
# their time waiting for the other end of a pseudo-terminal or a timeout, so
# four at once keep two cores busy without crowding them.
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
targets="aarch64-linux-gnu:arm64 s390x-linux-gnu:s390x"
logs=$(mktemp -d /tmp/kyt-cross-64.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$logs"' EXIT

echo "--- Debian packages for arm64 ---"
"$root/scripts/debian-packages.sh" arm64 "$root/build-cross-packages/arm64"

for target in $targets; do
  echo "--- ${target%%:*} (${target##*:}) build ---"
  "$root/scripts/cross-suite.sh" build "${target%%:*}" "${target##*:}" "$root/build-cross-${target##*:}"
done

start=$SECONDS
archs=()
for target in $targets; do
  arch=${target##*:}
  "$root/scripts/cross-suite.sh" test "$arch" "$root/build-cross-$arch" 2 >"$logs/$arch.log" 2>&1 &
  pids+=($!)
  archs+=("$arch")
done
failed=0
for i in "${!pids[@]}"; do
  arch=${archs[$i]}
  if wait "${pids[$i]}"; then
    grep -E '^[0-9]+% tests passed|^Total Test time|^\s+[0-9]+ - .*\(Skipped\)$|tests passed in' "$logs/$arch.log" |
      sed "s/^/$arch: /"
  else
    echo "--- $arch: the suite under qemu-user failed:"
    cat "$logs/$arch.log"
    failed=1
  fi
done
pids=()
echo "--- both emulated suites done after $((SECONDS - start)) s"
exit $failed
