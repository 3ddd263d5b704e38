#!/usr/bin/env bash
# Installs what is needed, builds and runs the whole test suite.
# Usage: scripts/test.sh            (normal build in build/)
#        scripts/test.sh --sanitize (AddressSanitizer + UBSan build in build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh

BUILD_DIR=build
CMAKE_ARGS=()
if [ "${1:-}" = "--sanitize" ]; then
  BUILD_DIR=build-asan
  CMAKE_ARGS=(-DROADREC_SANITIZE=ON -DROADREC_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fi

scripts/build.sh "$BUILD_DIR" "${CMAKE_ARGS[@]}"
cd "$BUILD_DIR"
ctest -j"$(nproc)" --output-on-failure --timeout 300
