#!/usr/bin/env bash
# Records 60 s at 1928x1208 and 20 frames/s from the simulator and reports the recorder's CPU
# seconds per recorded second against the encoder alone fed the same frames, in the same run,
# and whether the recorder kept up (frames in the MP4 = frames it was sent / 2).
#
# Usage: bench/recorder/run.sh <build-dir> [seconds]
set -euo pipefail
BUILD=$(cd "$1" && pwd)
SECONDS_TO_RECORD=${2:-60}
exec python3 "$(dirname "$0")/run.py" "$BUILD" "$SECONDS_TO_RECORD"
