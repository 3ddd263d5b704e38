#!/usr/bin/env bash
# Takes the picture of the trip page shown in the README, from the demo's trips.
# Usage: tools/tripviewer/screenshot.sh [videos-dir] [output.png]
#        defaults: build/demo/videos (recorded by scripts/demo.sh when missing) and docs/tripviewer.png
set -euo pipefail
case "${1:-}" in
  -h | --help)
    sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"
    exit 0
    ;;
esac
cd "$(dirname "$0")/../.."
VIDEOS=${1:-build/demo/videos}
OUTPUT=$(realpath -m "${2:-docs/tripviewer.png}")

scripts/install_deps.sh
if [ ! -d "$VIDEOS" ]; then
  scripts/demo.sh build >/dev/null
fi
if [ ! -f build/build.ninja ]; then
  scripts/build.sh build
fi
cmake --build build --target tripviewer >/dev/null
mkdir -p "$(dirname "$OUTPUT")"
python3 tools/tripviewer/screenshot.py --viewer build/tools/tripviewer/tripviewer --videos "$VIDEOS" --out "$OUTPUT"
