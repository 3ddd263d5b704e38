#!/usr/bin/env bash
# The main job, end to end. For now: the log collector receiving records from a logging
# program. (The recorder on its simulated camera and car replaces this.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
scripts/build.sh build
export TAVRIN_PREFIX="_demo_$$"
build/tools/logcollector/logcollector &
collector=$!
trap 'kill $collector 2>/dev/null || true; wait $collector 2>/dev/null || true' EXIT
sleep 0.5
build/common/tests/swaglog_emit "L:30:demo: hello from the logging layer" "L:40:demo: an error record"
sleep 0.5
