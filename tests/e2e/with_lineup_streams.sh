#!/usr/bin/env bash
# Runs an end-to-end test script in a world of two transmitters whose bands
# carry the three-program sample multiplex (txflow_check.py make-stream,
# ffmpeg) made to loop without a continuity break (seamless_ts.py): channel 5
# of tx, channel 7 of tx2 (its audio languages differ):
#
#   with_lineup_streams.sh BUILD_DIR SCRIPT [devsim run options...]
#
# Exit status: the script's, 77 skipped (no ffmpeg, or no namespaces).
set -euo pipefail
HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
REPO=$(readlink -f "$HERE/../..")
build=$(readlink -f "${1:?build directory}")
script=$(readlink -f "${2:?test script}")
shift 2
command -v ffmpeg >/dev/null || { echo "no ffmpeg: skipped" >&2; exit 77; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vyxlineup.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
python3 "$HERE/txflow_check.py" make-stream "$WORK/a.ts" &&
  python3 "$HERE/txflow_check.py" make-stream "$WORK/b.ts" --languages spa fra,ger ita &&
  python3 "$HERE/seamless_ts.py" "$WORK/a.ts" "$WORK/five.ts" &&
  python3 "$HERE/seamless_ts.py" "$WORK/b.ts" "$WORK/seven.ts" ||
  { echo "could not make the sample streams" >&2; exit 1; }
set +e
"$REPO/platform/devsim" run --build "$build" --channel "5=$WORK/five.ts" \
  --channel "tx2:7=$WORK/seven.ts:4" "$@" -- python3 "$script"
rc=$?
set -e
exit $rc
