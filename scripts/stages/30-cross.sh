#!/usr/bin/env bash
# Cross builds for 32-bit ARM hard-float and 32-bit x86:
#  - the Debian packages of each target, built from debian/ with
#    dpkg-buildpackage -a (without tests: they run next, under the emulator)
#    and checked for their architecture, contents and lintian by
#    scripts/debian-packages.sh;
#  - the whole tree (library, kyt_test, kyt_probe, kyt_sandbox, the simulator,
#    the PC/SC handler, the benchmarks and the test suite with the handler's
#    tests), configured from scratch with Debian's cross compilers
#    (cmake/toolchains/) and built by scripts/cross-suite.sh, which then runs
#    the suite under qemu-user: one target after the other, two tests at a time.
# The package builds install the targets' multiarch packages (libc6:armhf,
# libpcsclite-dev:i386, ...); cross-suite.sh installs the ones its build needs
# itself.  The suites run after the package builds, so that CI runs them with
# the multiarch packages present (the emulated programs must not load them:
# see scripts/cross-suite.sh).
#
#   KYT_CROSS_TARGETS   "TRIPLET:ARCH ..." (default both targets)
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
targets=${KYT_CROSS_TARGETS:-arm-linux-gnueabihf:armhf i686-linux-gnu:i386}

for target in $targets; do
  arch=${target##*:}
  echo "--- Debian packages for $arch ---"
  "$root/scripts/debian-packages.sh" "$arch" "$root/build-cross-packages/$arch"
done

for target in $targets; do
  triplet=${target%%:*}
  arch=${target##*:}
  echo "--- $triplet ($arch) under qemu-user ---"
  "$root/scripts/cross-suite.sh" build "$triplet" "$arch" "$root/build-cross-$arch"
  "$root/scripts/cross-suite.sh" test "$arch" "$root/build-cross-$arch" 2
done
