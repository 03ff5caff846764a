#!/usr/bin/env bash
# Runs an end-to-end test script in a world whose transmitter tuner plays the
# three-program sample multiplex (txflow_check.py make-stream, ffmpeg) on
# channel 5:
#
#   with_sample_stream.sh BUILD_DIR SCRIPT [devsim run options...]
#
# The script gets the multiplex's path in VYX_SAMPLE_STREAM.  Exit status:
# the script's, 77 skipped (no ffmpeg, or no namespaces).
set -euo pipefail
HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
REPO=$(readlink -f "$HERE/../..")
build=$(readlink -f "${1:?build directory}")
script=$(readlink -f "${2:?test script}")
shift 2
command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null || { echo "no ffmpeg: skipped" >&2; exit 77; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vyxsample.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
python3 "$HERE/txflow_check.py" make-stream "$WORK/three.ts" || { echo "could not make the sample stream" >&2; exit 1; }
# VYX_SAMPLE_SEAMLESS=1: the multiplex padded so that its loops keep every
# PID's continuity (tests that count continuity errors on the streams)
if [ -n "${VYX_SAMPLE_SEAMLESS:-}" ]; then
  python3 "$HERE/seamless_ts.py" "$WORK/three.ts" "$WORK/seamless.ts" && mv "$WORK/seamless.ts" "$WORK/three.ts" \
    || { echo "could not make the sample stream seamless" >&2; exit 1; }
fi
set +e
VYX_SAMPLE_STREAM=$WORK/three.ts "$REPO/platform/devsim" run --build "$build" \
  --channel "5=$WORK/three.ts" "$@" -- env VYX_SAMPLE_STREAM="$WORK/three.ts" python3 "$script"
rc=$?
set -e
exit $rc
