#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  scripts/setup.sh "$build" -DPAKREV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  build=build
  scripts/setup.sh "$build"
fi
# The freshly built pakrev and segdiff come first on the search path.
export PATH="$PWD/$build/bin:$PATH"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
