#!/usr/bin/env bash
# Debian packages for the release architectures whose suites CI does not run
# under an emulator (armel, mips64el, ppc64el) and for s390x (whose suite runs
# in 31-cross-64.sh): each built with dpkg-buildpackage -a ARCH and the
# nocheck profile, and checked by scripts/debian-packages.sh for its ELF
# machine, byte order and (armel) float ABI, its contents, its dependencies
# and lintian.  With amd64 (40-packages.sh), armhf and i386 (30-cross.sh) and
# arm64 (31-cross-64.sh) that is every release architecture of Debian 12.
#
#   KYT_PACKAGE_ARCHS   "ARCH ..." (default the four above)
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
archs=${KYT_PACKAGE_ARCHS:-s390x armel mips64el ppc64el}

for arch in $archs; do
  echo "--- Debian packages for $arch ---"
  DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" \
    "$root/scripts/debian-packages.sh" "$arch" "$root/build-cross-packages/$arch"
done
