#!/usr/bin/env bash
# Builds (Release) and runs every benchmark, or those whose folder under bench/ matches $1.
# A folder with a run.sh is run through it (given the build dir); otherwise each of its
# executables ending in _bench is run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
BUILD_DIR=build-bench
scripts/build.sh "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release
filter=${1:-}
for dir in bench/*/; do
  name=$(basename "$dir")
  [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
  echo "=== $name ==="
  if [ -x "$dir/run.sh" ]; then
    "$dir/run.sh" "$PWD/$BUILD_DIR"
  else
    for exe in "$BUILD_DIR/bench/$name"/*_bench; do
      [ -x "$exe" ] && "$exe"
    done
  fi
done
