#!/usr/bin/env bash
# The PC/SC driver against the real pcscd: installs pcscd, pcsc-tools, OpenSC,
# pyscard, vicc and pcsc-lite's development files when missing, builds the IFD handler with
# the library and the simulated reader in a folder of its own, and runs
# its own tests and the vicc test of the simulator (which needs vicc), then
# tests/pcsc/pcscd_test.sh, pcscd_sessions_test.sh and
# tests/tools/probe_pcscd_test.sh (kyt_probe's entry loaded by pcscd, and pcscd
# meeting a port that kyt_test holds) in private mount namespaces, so that
# their pcscd never meets a system one.  Needs root (apt-get, unshare,
# mount).
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
build=${KYT_PCSC_BUILD_DIR:-$root/build-pcsc}
work=$(mktemp -d /tmp/kyt-pcsc.XXXXXX)
trap 'rm -rf "$work"' EXIT

# vicc (vsmartcard-vpicc) is the card emulator behind a vpcd slot of kyt_sim;
# it needs python3-pycryptodome, which its package does not pull in.
"$root/scripts/install-deps.sh" pcscd pcsc-tools opensc libpcsclite-dev python3-pyscard \
  vsmartcard-vpicc python3-pycryptodome

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYT_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j 2 --target ifdkyt pcsc_client kyt_sim kyt_probe kyt_test ifd_handler_test vpcd_card_test

# The handler on its own, as pcscd calls it, against the simulated reader.
timeout 300 "$build/pcsc/ifd_handler_test"

# vicc behind kyt_sim through the library: here vicc is installed, so the
# test must run rather than skip.
KYT_REQUIRE_VICC=1 timeout 300 "$build/tests/vpcd_card_test" --gtest_filter='VpcdVicc.*'

bash "$root/tests/pcsc/pcscd_test.sh" "$build" "$work/test"
# What services that run for months need: quick exits, sessions through a
# bounce, a silence and slow cards, a late port, pcscd's reader contexts,
# the log topics.
bash "$root/tests/pcsc/pcscd_sessions_test.sh" "$build" "$work/sessions"
bash "$root/tests/tools/probe_pcscd_test.sh" "$build" "$work/probe"
