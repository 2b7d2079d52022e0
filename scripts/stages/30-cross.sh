#!/usr/bin/env bash
# Cross builds for 32-bit ARM hard-float and 32-bit x86:
#  - the library, kyt_test, the simulator and the whole test suite, built with
#    Debian's cross compilers (cmake/toolchains/) and run under qemu-user;
#  - the Debian packages of each target, built from debian/ with
#    dpkg-buildpackage -a (without tests: they ran just before, under the
#    emulator) and checked for their architecture, contents and lintian by
#    scripts/debian-packages.sh.
# The package builds install the targets' multiarch packages (libc6-dev:armhf,
# libstdc++-12-dev:i386, ...).  The emulated programs never load those: the
# toolchain files start the target's loader from the cross compiler's root
# with --inhibit-cache --library-path, so the machine's loader cache, which
# then lists the multiarch C libraries, is not read.  The suite runs after the
# package builds here, so that CI runs it with the multiarch packages present.
#
#   KYT_CROSS_TARGETS   "TRIPLET:ARCH ..." (default both targets)
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
targets=${KYT_CROSS_TARGETS:-arm-linux-gnueabihf:armhf i686-linux-gnu:i386}

"$root/scripts/install-deps.sh" googletest qemu-user g++-arm-linux-gnueabihf g++-i686-linux-gnu

for target in $targets; do
  arch=${target##*:}
  echo "--- Debian packages for $arch ---"
  "$root/scripts/debian-packages.sh" "$arch" "$root/build-cross-packages/$arch"
done

for target in $targets; do
  triplet=${target%%:*}
  arch=${target##*:}
  build=$root/build-cross-$arch
  echo "--- $triplet ($arch) under qemu-user ---"
  start=$SECONDS
  rm -rf "$build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$triplet.cmake" \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
  cmake --build "$build" -j "$jobs" >/dev/null
  echo "--- $arch built in $((SECONDS - start)) s"
  (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600)
  echo "--- $arch tests passed after $((SECONDS - start)) s"
done
