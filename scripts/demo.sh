#!/usr/bin/env bash
# The recorder's main job, end to end on this machine: installs what is missing, builds, then
# runs the log collector, the simulated camera and car (the default scenario: about a minute of
# ignition on, driving, parking) and roadrecd with a progress line, stops the recorder with
# SIGTERM and prints the trip tree with a short ffprobe summary of every segment. Trips are
# written under <build>/demo/videos. A program that fails shows its output here. Ends by itself
# and leaves nothing running.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/demo.sh [build-dir] [scenario-file]

Records a simulated drive end to end: installs the Debian packages that are missing, builds
roadrecd, the simulator and the log collector in build-dir (default: build), runs them on a
private set of queues and parameters while a progress line shows the elapsed time, the frames
recorded and the current trip, then prints the recorder's log, the trip tree and an ffprobe
summary of every segment.

  build-dir      build tree to use (default: build); trips go to <build-dir>/demo/videos
  scenario-file  what the simulated car does (default: tools/simulator/scenarios/default.scn,
                 about a minute); the format is described in tools/simulator/scenario.h

The programs' own output is kept in <build-dir>/demo/ (collector.log, roadrecd.out,
simulator.out); a program that fails has it shown on the terminal.
Exit status: 0 when the drive was recorded; otherwise the failed program's status.
EOF
}
case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  -*) echo "demo: unknown option $1 (scripts/demo.sh --help tells more)" >&2; exit 2 ;;
esac
[ $# -le 2 ] || { echo "demo: too many arguments (scripts/demo.sh --help tells more)" >&2; exit 2; }

# Arguments are paths as the caller typed them, relative to the caller's directory.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=$(realpath -m "${1:-$ROOT/build}")
SCENARIO=$(realpath -m "${2:-$ROOT/tools/simulator/scenarios/default.scn}")
if [ ! -r "$SCENARIO" ]; then
  echo "demo: cannot read the scenario file $SCENARIO" >&2
  exit 2
fi
cd "$ROOT"

scripts/install_deps.sh

DEMO=$BUILD_DIR/demo
VIDEOS=$DEMO/videos
cmake -S . -B "$BUILD_DIR" -G Ninja -DROADRECD_VIDEOS_BASE="$VIDEOS" >/dev/null
cmake --build "$BUILD_DIR" --target roadrecd simulator logcollector topic

rm -rf "$DEMO"
mkdir -p "$DEMO/params"
# A private set of queues, sockets and parameters, so the demo never meets another system.
export TAVRIN_PREFIX=demo_$$
export PARAMS_ROOT=$DEMO/params
# Every trip of the demo stays, however full this machine's disk: loop recording off.
export ROADRECD_MIN_FREE_PERCENT=0
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
  # the sockets of the prefix: the log endpoint and the camera's setup socket
  rm -f "/tmp/logmessage$TAVRIN_PREFIX" "/tmp/${TAVRIN_PREFIX}"_visionipc_*
}
trap cleanup EXIT

# Shows a program's output file on the terminal, indented.
show_output() {
  echo "---- $1 (last lines; all of it in $2)"
  tail -n 30 "$2" | sed 's/^/  /'
  echo "----"
}

# A program that ended on its own, or with a failure, ends the demo with its output and status.
fail() {
  local name=$1 status=$2 file=$3
  clear_progress
  echo "demo: $name failed (exit status $status)" >&2
  show_output "$name" "$file" >&2
  exit "$status"
}

# Sends SIGTERM and waits at most 30 s for the end; SIGKILL after that. Sets `status`.
stop_program() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "demo: pid $pid did not end within 30 s of SIGTERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  status=0
  wait "$pid" || status=$?
}

# Frames in the recorder's MP4 files, finished or still being written: the H.264 pictures in
# each file's media data (a picture's first slice starts at macroblock 0).
count_frames() {
  python3 - "$@" <<'PY'
import struct, sys

def frames(path):
    n = 0
    with open(path, 'rb') as f:
        f.seek(0, 2)
        end = f.tell()
        pos = 0
        while pos + 8 <= end:
            f.seek(pos)
            size, kind = struct.unpack('>I4s', f.read(8))
            head = 8
            if size == 1:
                size, head = struct.unpack('>Q', f.read(8))[0], 16
            if size == 0 or pos + size > end:  # the media data of an open file runs to its end
                size = end - pos
            if size < head:
                break
            if kind == b'mdat':
                p, stop = pos + head, pos + size
                while p + 6 <= stop:
                    f.seek(p)
                    length, nal, first = struct.unpack('>IBB', f.read(6))
                    if p + 4 + length > stop:
                        break
                    if nal & 0x1f in (1, 5) and first & 0x80:
                        n += 1
                    p += 4 + length
            pos += size
    return n

print(sum(frames(p) for p in sys.argv[1:]))
PY
}

# One line that tells how far the recording is. On a terminal it is redrawn in place every
# second; into a file or pipe it is written every ten seconds.
progress_shown=0
next_progress_line=0
show_progress() {
  local elapsed=$1 trip frames
  trip=$(ls "$VIDEOS" 2>/dev/null | tail -n 1 || true)
  shopt -s nullglob
  local files=("$VIDEOS"/*/*.mp4)
  shopt -u nullglob
  frames=0
  [ ${#files[@]} -eq 0 ] || frames=$(count_frames "${files[@]}" 2>/dev/null || echo "?")
  local line
  line=$(printf 'elapsed %3d s of about %s s   frames recorded %5s   trip %s' \
    "$elapsed" "${DURATION:-?}" "$frames" "${trip:--}")
  if [ -t 1 ]; then
    printf '\r%s\033[K' "$line"
    progress_shown=1
  elif [ "$elapsed" -ge "$next_progress_line" ]; then
    echo "$line"
    next_progress_line=$((elapsed + 10))
  fi
}
clear_progress() {
  if [ "$progress_shown" = 1 ]; then printf '\n'; progress_shown=0; fi
}

"$BUILD_DIR/tools/logcollector/logcollector" >"$DEMO/collector.log" 2>&1 &
collector=$!
pids+=("$collector")
"$BUILD_DIR/selfdrive/orsolo/roadrecd" >"$DEMO/roadrecd.out" 2>&1 &
recorder=$!
pids+=("$recorder")
DURATION=$(awk '$2 == "end" {print $1}' "$SCENARIO")
echo "recording the scenario $SCENARIO (about ${DURATION:-?} s)"
echo "(its topics, from another shell: TAVRIN_PREFIX=$TAVRIN_PREFIX $BUILD_DIR/tools/topic/topic list)"
"$BUILD_DIR/tools/simulator/simulator" --scenario "$SCENARIO" --exit-at-end >"$DEMO/simulator.out" 2>&1 &
simulator=$!
pids+=("$simulator")

start=$SECONDS
while kill -0 "$simulator" 2>/dev/null; do
  for name in recorder collector; do
    pid=${!name}
    if ! kill -0 "$pid" 2>/dev/null; then
      status=0
      wait "$pid" || status=$?
      case $name in
        recorder) fail roadrecd "$status" "$DEMO/roadrecd.out" ;;
        collector) fail logcollector "$status" "$DEMO/collector.log" ;;
      esac
    fi
  done
  show_progress $((SECONDS - start))
  sleep 1
done
status=0
wait "$simulator" || status=$?
[ "$status" -eq 0 ] || fail simulator "$status" "$DEMO/simulator.out"
show_progress $((SECONDS - start))
clear_progress

stop_program "$recorder"
recorder_status=$status
echo "roadrecd exited with status $recorder_status; $(grep -o 'sent [0-9]* frames' "$DEMO/simulator.out")"
stop_program "$collector"
[ "$recorder_status" -eq 0 ] || fail roadrecd "$recorder_status" "$DEMO/roadrecd.out"

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
