#!/usr/bin/env bash
# Installs what is needed, builds and runs the whole test suite.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/test.sh [--sanitize] [ctest options...]

Installs the Debian packages that are missing, builds the project and runs its tests with
ctest on every core.

  (no option)    normal build in build/
  --sanitize     AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
  ctest options  passed on to ctest, e.g. -R TopicTool to run only the tests whose name matches

Exit status: 0 when every test passed; non-zero when the build or a test failed.
EOF
}

BUILD_DIR=build
CMAKE_ARGS=()
case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  --sanitize)
    shift
    BUILD_DIR=build-asan
    CMAKE_ARGS=(-DROADREC_SANITIZE=ON -DROADREC_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    ;;
esac

cd "$(dirname "$0")/.."
scripts/install_deps.sh
scripts/build.sh "$BUILD_DIR" "${CMAKE_ARGS[@]}"
cd "$BUILD_DIR"
ctest -j"$(nproc)" --output-on-failure --timeout 300 "$@"
