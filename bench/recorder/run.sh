#!/usr/bin/env bash
# The recorder's benchmark, today's recorder against this one in the same run (the simulator's
# 1928x1208 camera at 20 frames/s):
#   - CPU seconds and bytes written per recorded second, and the longest gap between frames the
#     main loop took around a segment rotation, over a recording of <seconds> (default 200, so
#     that a 180 s segment rotates);
#   - the loss window: seconds of video lost per SIGKILL, p50 and max over <kills> kills
#     (default 20) at random moments of a segment, recovered by the next start.
# Today's recorder is built from the commit before the change (the encoder's crash safety and the
# recorder's fault handling), or from --baseline REF, in a temporary git worktree removed
# afterwards. Takes about 20 minutes.
#
# Usage: bench/recorder/run.sh <build-dir> [--seconds S] [--kills N] [--baseline REF]
set -euo pipefail
usage() { sed -n '2,/^$/{/^#/s/^# \{0,1\}//p}' "$0"; }
if [[ $# -lt 1 ]]; then usage >&2; exit 2; fi
if [[ $1 == -h || $1 == --help ]]; then usage; exit 0; fi
BUILD=$(cd "$1" && pwd)
shift
exec python3 "$(dirname "$0")/run.py" "$BUILD" "$@"
