#!/usr/bin/env bash
# Figures of a hotel-sized head-end in the simulated world (not a test):
# how long a world of TX transmitters and RX receivers takes to start, the
# memory of each device host, command round trips while every device
# beacons, a 24-channel lineup applied and verified, and every receiver
# upgraded with a 1 MB archive.
#
#   scripts/hotel_figures.sh [BUILD_DIR] [--tx N] [--rx M] [--time-scale F]
#                            [--parallel K]
#
# Defaults: build-asan, 4 transmitters, 100 receivers, time scale 10, 16
# upgrades at a time.  Needs ffmpeg (the transmitters' multiplexes).
set -euo pipefail
HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
REPO=$(dirname "$HERE")
build=$REPO/build-asan
ntx=4 nrx=100 scale=10 parallel=16
while [ $# -gt 0 ]; do
  case $1 in
    --tx) ntx=$2; shift 2 ;;
    --rx) nrx=$2; shift 2 ;;
    --time-scale) scale=$2; shift 2 ;;
    --parallel) parallel=$2; shift 2 ;;
    -*) echo "usage: $0 [BUILD_DIR] [--tx N] [--rx M] [--time-scale F] [--parallel K]" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
# What was measured: the build's type and sanitizers, and the compiler.
cache=$build/CMakeCache.txt
[ -f "$cache" ] || { echo "hotel: no build in $build" >&2; exit 2; }
value() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
echo "hotel: build $build: ${ntx} transmitters, ${nrx} receivers, time scale $scale;" \
     "CMAKE_BUILD_TYPE=$(value CMAKE_BUILD_TYPE), VYX_SANITIZE=$(value VYX_SANITIZE)," \
     "$("$(value CMAKE_CXX_COMPILER)" --version | head -n 1); $(nproc) cores"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vyxhotel.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
# One six-program multiplex, looping without a continuity break, on channel
# 10 + i of transmitter i.
python3 - "$REPO/tests/e2e" "$WORK/six.ts" <<'PY'
import argparse, sys
sys.path.insert(0, sys.argv[1])
import txflow_check
rc = txflow_check.cmd_make_stream(argparse.Namespace(
    out=sys.argv[2] + ".raw", languages=["eng"] * 6, video_rate="150k"))
sys.exit(rc)
PY
python3 "$REPO/tests/e2e/seamless_ts.py" "$WORK/six.ts.raw" "$WORK/six.ts"
band=()
for ((i = 1; i <= ntx; i++)); do
  h=tx$i; [ $i = 1 ] && h=tx
  band+=(--channel "$h:$((10 + i))=$WORK/six.ts")
done
export HOTEL_T0=$(date +%s.%N) HOTEL_WORK=$WORK HOTEL_PARALLEL=$parallel
DEVSIM_READY_TIMEOUT=${DEVSIM_READY_TIMEOUT:-600} DEVSIM_START_TIMEOUT=${DEVSIM_START_TIMEOUT:-900} "$REPO/platform/devsim" run --build "$build" \
  --tx "$ntx" --rx "$nrx" "${band[@]}" --time-scale "$scale" \
  -- python3 "$HERE/hotel_figures.py"
