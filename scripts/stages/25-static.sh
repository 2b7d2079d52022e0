#!/usr/bin/env bash
# Static analysis of the library, kyt_test, kyt_probe, the
# simulator and the PC/SC handler: clang-tidy with
# the checked-in .clang-tidy (warnings are errors) and cppcheck with the
# checked-in suppressions; and the layout of every C and C++ file of the
# tree against the checked-in .clang-format.  Any finding fails the stage.
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
build="$root/build-static"

"$root/scripts/install-deps.sh" clang-tidy-14 clang-format-14 cppcheck libpcsclite-dev

# The layout first: it takes seconds, the analysis minutes.
mapfile -t formatted < <(cd "$root" && git ls-files -- '*.c' '*.cpp' '*.h')
echo "clang-format on ${#formatted[@]} files"
(cd "$root" && clang-format-14 --dry-run --Werror "${formatted[@]}") ||
  { echo "files not laid out as .clang-format says: clang-format-14 -i FILE mends them" >&2; exit 1; }

# Only the compile commands are needed, not a build.
rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DKYT_BUILD_TESTS=OFF >/dev/null

# The files come from git, not from globs, so that a file moved to another
# folder of these parts stays checked.  The handler's tests (tests/pcsc/) are
# left out with the rest of tests/: their programs are test rigs, not the
# handler.
mapfile -t sources < <(cd "$root" && git ls-files -- 'lib/*.cpp' 'tools/test/*.cpp' \
  'tools/probe/*.cpp' 'tools/sandbox/*.cpp' 'sim/*.cpp' ':(glob)pcsc/*.cpp')
[ "${#sources[@]}" -gt 0 ] || { echo "no sources listed by git" >&2; exit 1; }
echo "clang-tidy on ${#sources[@]} files"
(cd "$root" && printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy-14 -p "$build" --quiet)

echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ \
  --enable=warning,performance,portability --inline-suppr \
  --suppressions-list="$root/.cppcheck-suppressions" \
  -I "$root/include" -I "$root/lib/reader" -I "$root/lib/transport" -I "$root/lib/serial" \
  -I "$root/tools/test" -I "$root/tools/probe" -I "$root/tools/sandbox" \
  -I "$root/sim/reader" -I "$root/sim/cards" -I "$root/sim/program" \
  -I "$root/pcsc" "${sources[@]/#/$root/}"
