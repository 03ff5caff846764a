#!/usr/bin/env bash
# Long check: GB gigabytes fed to the transmitter in buffers of random sizes,
# two streams out, every packet of both recordings checked against the input.
#
#   scripts/longcheck.sh GB [--rate BITS_PER_S] [--seed S] [--keep DIR] [--build DIR]
#
# Builds a Release tree without sanitizers (default build-soak, the soak's;
# VYX_LONGCHECK_BUILD overrides) and tests/tools/tsrun_check, or takes the
# built tree given with --build (and the tool $VYX_TSRUN_CHECK), makes a
# three-program input (txflow_check.py make-stream, with a few packets of
# each elementary stream whose payload is all 0x47 appended, so that false
# sync bytes meet the buffer splits), and runs scripts/longcheck_control.py
# on the controller host of a simulated world (niced unless --build): the player stand-in
# feeds the file, looping, at --rate (default 80 Mbit/s) in buffers of 1 to
# 8000 bytes drawn from --seed (VYX_FEED_SEED, default 1).  Prints a JSON
# report (GB fed, buffers, datagrams sent and received per stream, packets
# checked, problems, CPU); exit 0 when nothing was lost or broken.
# At 80 Mbit/s 4 GB take about 7 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2; }
gb=$1; shift
rate=80000000 seed=1 keep= build=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    *) echo "longcheck.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

tool=${VYX_TSRUN_CHECK:-}
# A long run yields to other work; a short one given a built tree (CTest's)
# runs beside other tests and must keep up with its own feed.
nice=
if [ -z "$build" ]; then
  nice="nice -n 10"
  build=${VYX_LONGCHECK_BUILD:-build-soak}
  tool=$(readlink -f "$build")/tsrun_check
  mkdir -p "$build"
  if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYX_SANITIZE=OFF \
           -DBUILD_TESTING=OFF -DVYX_BENCH=OFF &&
         nice cmake --build "$build" -j2 &&
         nice c++ -std=c++17 -O2 -Wall -Wextra -o "$tool" tests/tools/tsrun_check.cpp; } \
         >"$build/longcheck-build.log" 2>&1; then
    echo "longcheck.sh: build failed (log: $build/longcheck-build.log)"; tail -n 30 "$build/longcheck-build.log"; exit 1
  fi
fi
[ -x "$tool" ] || { echo "longcheck.sh: no tsrun_check (VYX_TSRUN_CHECK)" >&2; exit 2; }
command -v ffmpeg >/dev/null || { echo "longcheck.sh: no ffmpeg here: skipped" >&2; exit 77; }

if [ -n "$keep" ]; then
  mkdir -p "$keep"; work=$(readlink -f "$keep")
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/vyxlong.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
python3 tests/e2e/txflow_check.py make-stream "$work/raw.ts"
python3 - "$work/raw.ts" "$work/input.ts" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
data = data[:len(data) - len(data) % 188]
last = {}
for off in range(0, len(data), 188):
    p = data[off:off + 188]
    pid = ((p[1] & 0x1F) << 8) | p[2]
    if p[3] & 0x10:
        last[pid] = p[3] & 0x0F
out = bytearray(data)
# Elementary streams only (0x100..0x3ff here): tables stay whole sections.
for pid, cc in sorted(last.items()):
    if not 0x100 <= pid < 0x400:
        continue
    for _ in range(3):
        cc = (cc + 1) & 0x0F
        out += bytes([0x47, (pid >> 8) & 0x1F, pid & 0xFF, 0x10 | cc]) + b"\x47" * 184
open(sys.argv[2], "wb").write(out)
PY
export VYX_FEED_RATE=$rate VYX_FEED_SEED=$seed
echo "longcheck: $gb GB at $rate bit/s, seed $seed" >&2
$nice platform/devsim run --build "$build" --tx --channel "5=$work/input.ts" --time-scale 10 \
  ${keep:+--keep "$work/world"} -- \
  python3 scripts/longcheck_control.py "$gb" "$work/input.ts" "$tool" "$work"
