#!/usr/bin/env bash
# Draws the command output panel running a sample command under a headless Wayland
# compositor and saves the window as a PNG.
# Usage: scripts/panel_screenshot.sh [build-dir] [output.png]
#        defaults: build/ and <build-dir>/cmdpanel.png; the README's picture is renewed only
#        when asked for by name: scripts/panel_screenshot.sh build docs/cmdpanel.png
set -euo pipefail
if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
  sed -n '2,6s/^# \{0,1\}//p' "$0"
  exit 0
fi
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
OUTPUT=$(realpath -m "${2:-$BUILD_DIR/cmdpanel.png}")

if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
fi
cmake --build "$BUILD_DIR" --target cmdpanel >/dev/null
PANEL="$BUILD_DIR/system/orsolo/tools/cmdpanel/cmdpanel"

RUNTIME_DIR=$(mktemp -d /tmp/cmdpanel-shot.XXXXXX)
chmod 700 "$RUNTIME_DIR"
SOCKET=cmdpanel-shot-$$
WESTON_PID=
cleanup() {
  if [ -n "$WESTON_PID" ]; then
    kill "$WESTON_PID" 2>/dev/null || true
    wait "$WESTON_PID" 2>/dev/null || true
  fi
  rm -rf "$RUNTIME_DIR"
}
trap cleanup EXIT

XDG_RUNTIME_DIR=$RUNTIME_DIR weston --backend=headless-backend.so --width=2160 --height=1080 \
  --shell=kiosk-shell.so --idle-time=0 --no-config --socket="$SOCKET" >"$RUNTIME_DIR/weston.log" 2>&1 &
WESTON_PID=$!
for _ in $(seq 1 200); do
  [ -S "$RUNTIME_DIR/$SOCKET" ] && break
  sleep 0.1
done
if [ ! -S "$RUNTIME_DIR/$SOCKET" ]; then
  echo "weston did not start:" >&2
  cat "$RUNTIME_DIR/weston.log" >&2
  exit 1
fi

# The panel puts its command between double quotes, so the sample uses single quotes only.
SAMPLE='for n in $(seq 1 120); do printf '"'"'segment %03d   1800 frames   H.264 10 fps   2560 kbit/s   ok\n'"'"' $n; done'
mkdir -p "$(dirname "$OUTPUT")"
rm -f "$OUTPUT"
XDG_RUNTIME_DIR=$RUNTIME_DIR WAYLAND_DISPLAY=$SOCKET QT_QPA_PLATFORM=wayland CMDPANEL_SNAPSHOT=$OUTPUT \
  timeout 60 "$PANEL" --title "Recorder segments" "$SAMPLE"
if [ ! -s "$OUTPUT" ]; then
  echo "no picture was written" >&2
  exit 1
fi
echo "wrote $OUTPUT"
