#!/usr/bin/env bash
# Builds everything from scratch and runs the whole test suite: the main
# build's CTest suite, then every further stage in scripts/stages/ (each one
# installs what it needs, builds in a folder of its own and fails loudly).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KYT_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYT_WERROR=ON
cmake --build "$build" -j "$(nproc)"
(cd "$build" && ctest --output-on-failure -j "$(nproc)")

shopt -s nullglob
for stage in "$root"/scripts/stages/*.sh; do
  echo "=== stage $(basename "$stage") ==="
  start=$SECONDS
  KYT_ROOT="$root" KYT_MAIN_BUILD="$build" bash "$stage"
  echo "=== stage $(basename "$stage") passed in $((SECONDS - start)) s ==="
done
