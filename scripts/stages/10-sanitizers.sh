#!/usr/bin/env bash
# The whole test suite twice more: under AddressSanitizer with
# UndefinedBehaviorSanitizer (LeakSanitizer included), and under
# ThreadSanitizer.  Any report ends the test program with an error, which
# fails its test and this stage.
set -euo pipefail
root=${KYT_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
jobs=$(nproc)

# The sanitizers' run times come with GCC; only the main build's packages
# are needed.
"$root/scripts/install-deps.sh"

# The export test checks that the library needs nothing but the C runtime;
# a sanitized library needs the sanitizer's run time as well, so that one
# test is left to the main build.
exclude='Exports\.LinksOnlyAgainstTheCRuntimeAndThreads'

run_suite() {
  local name=$1 sanitize=$2
  local build="$root/build-$name"
  rm -rf "$build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYT_WERROR=ON \
    -DCMAKE_PROJECT_INCLUDE="$root/cmake/Sanitizers.cmake" -DKYT_SANITIZE="$sanitize"
  cmake --build "$build" -j "$jobs"
  (cd "$build" && ctest --output-on-failure -j "$jobs" -E "$exclude")
}

# Some tests ask for absurd buffer sizes on purpose and expect the failed
# allocation to be reported as ENOMEM, so the allocators return null.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:exitcode=66:detect_leaks=1:allocator_may_return_null=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=66
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 allocator_may_return_null=1"

start=$SECONDS
run_suite asan address,undefined
echo "address,undefined: $((SECONDS - start)) s"
start=$SECONDS
run_suite tsan thread
echo "thread: $((SECONDS - start)) s"
