#!/usr/bin/env bash
# Builds (Release, in build-bench/) and runs the benchmarks: all of them, or only those named.
#   scripts/bench.sh                  every benchmark
#   scripts/bench.sh messaging ...    only the named ones (folder names under bench/)
# Only what the chosen benchmarks need is built. A folder with a run.sh is run through it (given
# the build dir); otherwise its <name>_bench program is run. Each benchmark prints its figures
# beside a baseline measured in the same run. Exits non-zero when a name is unknown or a
# benchmark failed.
set -euo pipefail
cd "$(dirname "$0")/.."

valid=()
for dir in bench/*/; do valid+=("$(basename "$dir")"); done

if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
  echo "benchmarks: ${valid[*]}"
  exit 0
fi

chosen=("$@")
[ ${#chosen[@]} -eq 0 ] && chosen=("${valid[@]}")
for name in "${chosen[@]}"; do
  if [[ ! " ${valid[*]} " == *" $name "* ]]; then
    echo "unknown benchmark: $name (valid: ${valid[*]})" >&2
    exit 2
  fi
done

# The build targets a benchmark runs.
targets_of() {
  case "$1" in
    recorder) echo "roadrecd simulator logcollector" ;;
    *) echo "${1}_bench" ;;
  esac
}

scripts/install_deps.sh
BUILD_DIR=build-bench
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD_DIR" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=()
for name in "${chosen[@]}"; do
  read -r -a t <<<"$(targets_of "$name")"
  targets+=("${t[@]}")
done
cmake --build "$BUILD_DIR" --target "${targets[@]}"

failed=()
for name in "${chosen[@]}"; do
  echo "=== $name ==="
  if [ -x "bench/$name/run.sh" ]; then
    "bench/$name/run.sh" "$PWD/$BUILD_DIR" || failed+=("$name")
  else
    "$BUILD_DIR/bench/$name/${name}_bench" || failed+=("$name")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
