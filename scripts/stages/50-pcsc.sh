#!/usr/bin/env bash
# The PC/SC driver against the real pcscd: installs pcscd, pcsc-tools, OpenSC,
# pyscard and pcsc-lite's development files when missing, builds the IFD handler with
# the library and the simulated reader in a folder of its own, and runs
# its own tests, then pcsc/tests/pcscd_test.sh in a private mount namespace, so that its pcscd
# never meets a system one.  Needs root (apt-get, unshare, mount).
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
build=${KYT_PCSC_BUILD_DIR:-$root/build-pcsc}
work=$(mktemp -d /tmp/kyt-pcsc.XXXXXX)
trap 'rm -rf "$work"' EXIT

"$root/scripts/install-deps.sh" pcscd pcsc-tools opensc libpcsclite-dev python3-pyscard

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target ifdkyt pcsc_client kyt_sim ifd_handler_test

# The handler on its own, as pcscd calls it, against the simulated reader.
timeout 300 "$build/pcsc/ifd_handler_test"

bash "$root/pcsc/tests/pcscd_test.sh" "$build" "$work/test"
