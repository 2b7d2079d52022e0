#!/usr/bin/env bash
# Cross builds for 32-bit ARM hard-float and 32-bit x86: the library,
# kyt_test, the simulator and the whole test suite, built with Debian's cross
# compilers and run under qemu-user; then the Debian packages of each target,
# checked for their architecture and contents.
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

"$root/scripts/install-deps.sh" googletest qemu-user g++-arm-linux-gnueabihf g++-i686-linux-gnu

for target in arm-linux-gnueabihf:armhf i686-linux-gnu:i386; do
  triplet=${target%%:*}
  arch=${target##*:}
  build=$root/build-cross-$arch
  echo "--- $triplet ($arch) ---"
  start=$SECONDS
  rm -rf "$build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$triplet.cmake" \
    -DCMAKE_INSTALL_PREFIX=/usr
  cmake --build "$build" -j "$jobs"
  echo "--- $arch built in $((SECONDS - start)) s"
  (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600)
  echo "--- $arch tests passed after $((SECONDS - start)) s"

  (cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
  for name in libkyt1 libkyt-dev kyt-tools; do
    deb=$(ls "$build"/packages/${name}_*_"$arch".deb)
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || { echo "$deb: wrong architecture"; exit 1; }
  done
  lib=$(ls "$build"/packages/libkyt1_*_"$arch".deb)
  dpkg-deb -c "$lib" | grep -q "usr/lib/$( [ "$arch" = i386 ] && echo i386-linux-gnu || echo "$triplet")/libkyt.so.1.0.1" \
    || { echo "$lib: no libkyt.so.1.0.1 in the multiarch folder"; exit 1; }
  echo "--- $arch packages:"
  ls -l "$build"/packages/*.deb
done
