#!/usr/bin/env bash
# Configures a fresh build tree twice and fails when the second configure changes any compile
# command or build rule: then every build after a re-configure would rebuild for nothing.
# Usage: stable_configure_test.sh <source dir> [cmake]
set -euo pipefail
src=$1
cmake=${2:-cmake}
work=$(mktemp -d /tmp/roadrec_stable_configure.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree=$work/tree

# What decides whether a target rebuilds: the rules and the compile commands. The files that
# re-run CMake (listed in another order after a first configure) and the unused debug-database
# names are left out.
snapshot() {
  grep -v -e 'TARGET_COMPILE_PDB' -e 'TARGET_PDB' -e '^build build.ninja: RERUN_CMAKE' -e '^build .*: phony$' \
    "$tree/build.ninja"
  cat "$tree/compile_commands.json"
}

"$cmake" -S "$src" -B "$tree" -G Ninja >/dev/null
snapshot >"$work/first"
"$cmake" "$tree" >/dev/null
snapshot >"$work/second"
if ! diff -q "$work/first" "$work/second" >/dev/null; then
  echo "a second configure changes the build:"
  diff "$work/first" "$work/second" | cut -c1-200 | head -20
  exit 1
fi
echo "configuring twice changes nothing"
