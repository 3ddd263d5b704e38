#!/usr/bin/env bash
# The recorder's main job, end to end on this machine: installs what is missing, builds, then
# runs the log collector, the simulated camera and car (the default scenario: about a minute of
# ignition on, driving, parking) and roadrecd, stops the recorder with SIGTERM and prints the
# trip tree with a short ffprobe summary of every segment. Trips are written under
# <build>/demo/videos. Ends by itself and leaves nothing running.
#
# Usage: scripts/demo.sh [build-dir] [scenario-file]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD_DIR=${1:-build}
SCENARIO=${2:-$ROOT/tools/simulator/scenarios/default.scn}

scripts/install_deps.sh

DEMO=$ROOT/$BUILD_DIR/demo
VIDEOS=$DEMO/videos
cmake -S . -B "$BUILD_DIR" -G Ninja -DROADRECD_VIDEOS_BASE="$VIDEOS" >/dev/null
cmake --build "$BUILD_DIR" --target roadrecd simulator logcollector

rm -rf "$DEMO"
mkdir -p "$DEMO/params"
# A private set of queues, sockets and parameters, so the demo never meets another system.
export TAVRIN_PREFIX=demo_$$
export PARAMS_ROOT=$DEMO/params
mkdir -p "/dev/shm/$TAVRIN_PREFIX"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "/dev/shm/$TAVRIN_PREFIX"
}
trap cleanup EXIT

"$BUILD_DIR/tools/logcollector/logcollector" >"$DEMO/collector.log" 2>&1 &
collector=$!
pids+=("$collector")
"$BUILD_DIR/selfdrive/orsolo/roadrecd" >"$DEMO/roadrecd.out" 2>&1 &
recorder=$!
pids+=("$recorder")
echo "recording the scenario $SCENARIO (about $(awk '$2 == "end" {print $1}' "$SCENARIO") s)"
"$BUILD_DIR/tools/simulator/simulator" --scenario "$SCENARIO" --exit-at-end >"$DEMO/simulator.out" 2>&1 &
simulator=$!
pids+=("$simulator")

wait "$simulator"
kill -TERM "$recorder"
status=0
wait "$recorder" || status=$?
echo "roadrecd exited with status $status; $(grep -o 'sent [0-9]* frames' "$DEMO/simulator.out")"
kill -TERM "$collector"
wait "$collector" || true

echo
echo "== recorder log"
sed -n 's/.*"msg":"\(roadrecd: [^"]*\)".*/\1/p' "$DEMO/collector.log"

echo
echo "== trips under $VIDEOS"
for trip in "$VIDEOS"/*/; do
  echo "$(basename "$trip")/"
  for f in "$trip"*; do
    name=$(basename "$f")
    case "$name" in
      *.mp4)
        summary=$(ffprobe -v error -count_packets -select_streams v:0 \
          -show_entries stream=codec_name,profile,width,height,nb_read_packets:format=duration,size \
          -of default=noprint_wrappers=1 "$f" | tr '\n' ' ')
        echo "  $name  $summary"
        ;;
      *.srt)
        echo "  $name  subtitle entries=$(grep -c -- ' --> ' "$f")  last: $(grep -E 'MPH|No GPS' "$f" | tail -1)"
        ;;
      *)
        echo "  $name"
        ;;
    esac
  done
done
exit "$status"
