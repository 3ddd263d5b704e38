#!/usr/bin/env bash
# Configures and builds one build tree.
# Uses ccache when the machine has it, so that rebuilds of other trees of the same sources are quick.
set -euo pipefail

case "${1:-}" in
  -h | --help)
    cat <<'EOF'
usage: scripts/build.sh [build-dir] [cmake options...]

Configures (CMake, Ninja) and builds every target in build-dir (default: build), through
ccache when the machine has it. Installs nothing: scripts/install_deps.sh does.

  build-dir       the build tree, relative to the repository root or absolute
  cmake options   passed on when configuring, e.g. -DCMAKE_BUILD_TYPE=Debug,
                  -DROADREC_SANITIZE=ON, -DROADREC_BUILD_TESTS=OFF, -DROADREC_BUILD_BENCH=OFF,
                  -DROADRECD_VIDEOS_BASE=<dir>

Exit status: 0 when the build succeeded.
EOF
    exit 0
    ;;
esac

cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
shift || true
LAUNCHER=()
if command -v ccache >/dev/null 2>&1; then
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD_DIR" -G Ninja "${LAUNCHER[@]}" "$@" >/dev/null
cmake --build "$BUILD_DIR"
