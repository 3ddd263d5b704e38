#!/usr/bin/env bash
# Records a few seconds with the dashcam command from a video file made with ffmpeg's test
# source and a short drive replayed by gpsfake, and saves one frame of the recorded segment,
# with its subtitle drawn in, as a PNG (the picture shown in the README).
# Usage: pc/dashcam/docs_picture.sh [build-dir] [output.png]
#        defaults: build/ and docs/dashcam-frame.png
set -euo pipefail
case "${1:-}" in
  -h | --help)
    sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"
    exit 0
    ;;
esac
cd "$(dirname "$0")/../.."
BUILD=$(realpath "${1:-build}")
OUTPUT=$(realpath -m "${2:-docs/dashcam-frame.png}")
cmake --build "$BUILD" --target pc_bin >/dev/null

WORK=$(mktemp -d /tmp/dashcam-picture.XXXXXX)
export TAVRIN_PREFIX=dashcam_picture_$$
mkdir -p "/dev/shm/$TAVRIN_PREFIX"
GPSFAKE_PID=
cleanup() {
  if [ -n "$GPSFAKE_PID" ]; then kill -TERM -- "-$GPSFAKE_PID" 2>/dev/null || true; fi
  rm -rf "$WORK" "/dev/shm/$TAVRIN_PREFIX"
}
trap cleanup EXIT

# A drive north through San Francisco at 25 knots, one fix a second.
python3 - "$WORK/drive.nmea" <<'PY'
import sys
def nmea(body):
    s = 0
    for c in body: s ^= ord(c)
    return "$%s*%02X\r\n" % (body, s)
def angle(v, width, pos, neg):
    a = abs(v); d = int(a)
    return "%0*d%08.5f,%s" % (width, d, (a - d) * 60, pos if v >= 0 else neg)
with open(sys.argv[1], "w") as f:
    for i in range(20):
        t = "1200%02d.00" % i
        p = angle(37.7749 + 0.00012 * i, 2, "N", "S") + "," + angle(-122.4194, 3, "E", "W")
        f.write(nmea("GPRMC,%s,A,%s,25.0,0.0,010524,," % (t, p)))
        f.write(nmea("GPGGA,%s,%s,1,09,0.8,16.0,M,0.0,M,," % (t, p)))
PY
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1280x720:rate=30 -t 20 -c:v libx264 -preset veryfast "$WORK/road.mp4"
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
setsid gpsfake -q -c 0.5 -P "$PORT" "$WORK/drive.nmea" >"$WORK/gpsfake.log" 2>&1 &
GPSFAKE_PID=$!

(cd "$WORK" && timeout -s INT 14 "$BUILD/pc/bin/roadrec-dashcam" --camera "$WORK/road.mp4" --loop \
  --gps "127.0.0.1:$PORT" --videos "$WORK/videos" --params "$WORK/params" --no-viewer \
  >"$WORK/dashcam.log" 2>&1) || true

SEGMENT=$(ls -S "$WORK"/videos/*/*.mp4 | head -1)
SUBTITLES=${SEGMENT%.mp4}.srt
ffmpeg -nostdin -v error -y -i "$SEGMENT" -ss 8 -vf "subtitles=$SUBTITLES:force_style='FontSize=22'" \
  -frames:v 1 "$OUTPUT"
echo "$OUTPUT: frame 8 s into $(basename "$SEGMENT")"
