#!/usr/bin/env bash
# CPU seconds per second of camera input of the camera server (decode + convert + serve, the
# input played in real time as from a camera) at 1920x1080 MJPEG and H.264, against
# `ffmpeg -i INPUT -pix_fmt nv12 -f null -` on the same input in the same run; then the NV12
# conversion alone against libswscale.
#
# Usage: bench/camera/run.sh <build-dir> [seconds of input, default 20]
set -euo pipefail
BUILD=$(cd "$1" && pwd)
python3 "$(dirname "$0")/run.py" "$BUILD" "${2:-20}"
"$BUILD/bench/camera/camera_convert_bench"
