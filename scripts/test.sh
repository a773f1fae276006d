#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh             the normal build, in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir="$here/build"
args=()
if [ "${1:-}" = "--sanitize" ]; then
  dir="$here/build-asan"
  args=(-DTOVEL_SANITIZE=ON -DTOVEL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
fi
bash "$here/scripts/build.sh" "$dir" "${args[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$dir"
ctest --output-on-failure --parallel "$(nproc)" --timeout 600
