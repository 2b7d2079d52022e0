#!/usr/bin/env bash
# One cross target's library, programs and whole test suite (the PC/SC
# handler's tests included), built with Debian's cross compiler through
# cmake/toolchains/TRIPLET.cmake and run under qemu-user.
#
#   scripts/cross-suite.sh build TRIPLET ARCH BUILD_DIR
#   scripts/cross-suite.sh test ARCH BUILD_DIR JOBS
#
# "build" installs the cross compiler, qemu-user, GoogleTest's sources,
# glibc's locale sources (the build makes a C.UTF-8 in the target's byte
# order) and the target's pcsc-lite development files (libpcsclite-dev:ARCH,
# for the handler), then configures and builds from scratch.  "test" runs the suite
# with JOBS tests at a time and ends with CTest's count of tests run.
#
# The emulated programs never load the target's multiarch libraries: the
# toolchain files start the target's loader from the cross compiler's root
# with --inhibit-cache --library-path, so the machine's loader cache, which
# then lists the multiarch C libraries, is not read.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() { echo "usage: $0 build TRIPLET ARCH BUILD_DIR | test ARCH BUILD_DIR JOBS" >&2; exit 2; }

case ${1:-} in
  build)
    [ $# -eq 4 ] || usage
    triplet=$2 arch=$3 build=$4
    "$root/scripts/install-deps.sh" googletest qemu-user locales "g++-$triplet" "libpcsclite-dev:$arch"
    start=$SECONDS
    rm -rf "$build"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYT_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$triplet.cmake" \
      -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
    jobs=$(nproc)
    [ "$jobs" -gt 2 ] && jobs=2
    cmake --build "$build" -j "$jobs" >/dev/null
    echo "--- $arch built in $((SECONDS - start)) s"
    ;;
  test)
    [ $# -eq 4 ] || usage
    arch=$2 build=$3 jobs=$4
    start=$SECONDS
    (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600)
    echo "--- $arch tests passed in $((SECONDS - start)) s"
    ;;
  *) usage ;;
esac
