#!/usr/bin/env bash
# Soak: the transmitter fed at 40 Mbit/s with two streams out (and the
# receiver playing one of them) while commands arrive, for MINUTES.
#
#   scripts/soak.sh MINUTES [--keep DIR]
#
# Builds a Release tree (BUILD, default build-soak; VYX_SOAK_BUILD overrides)
# without sanitizers, makes a three-program input whose continuity counters
# run on across its loop, and runs scripts/soak_control.py on the controller
# host of a simulated world (platform/devsim).  Prints a JSON report:
# datagrams sent (the transmitter's byte counter) and received (on the
# controller, both groups), continuity errors at the receiving end, the
# player process's RSS at the start and the end and its CPU share, commands
# unanswered.  Exit 0 when nothing was lost and every command was answered.
# VYX_SOAK_RATE (bits/s, default 40000000) sets the feed rate.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2; }
minutes=$1; shift
keep=()
[ "${1:-}" = --keep ] && [ $# -ge 2 ] && keep=(--keep "$2")

build=${VYX_SOAK_BUILD:-build-soak}
. scripts/release_build.sh
build_release "$build" soak

work=$(mktemp -d "${TMPDIR:-/tmp}/vyxsoak.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 tests/e2e/txflow_check.py make-stream "$work/raw.ts"
# Each PID's payload packets padded to a multiple of 16, so that looping the
# file keeps every continuity counter running: an error at the receiving end
# is then a loss, not the input's seam.
python3 - "$work/raw.ts" "$work/input.ts" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
data = data[:len(data) - len(data) % 188]
count, last = {}, {}
for off in range(0, len(data), 188):
    p = data[off:off + 188]
    pid = ((p[1] & 0x1F) << 8) | p[2]
    if pid != 0x1FFF and p[3] & 0x10:
        count[pid] = count.get(pid, 0) + 1
        last[pid] = p[3] & 0x0F
out = bytearray(data)
for pid, n in sorted(count.items()):
    cc = last[pid]
    for _ in range((16 - n % 16) % 16):
        cc = (cc + 1) & 0x0F
        # a continuation packet of stuffing (no unit start)
        out += bytes([0x47, (pid >> 8) & 0x1F, pid & 0xFF, 0x10 | cc]) + b"\xff" * 184
open(sys.argv[2], "wb").write(out)
PY
export VYX_FEED_RATE=${VYX_SOAK_RATE:-40000000}
platform/devsim run --build "$build" --tx --rx --channel "5=$work/input.ts" "${keep[@]}" -- \
  python3 scripts/soak_control.py "$minutes" "$work/input.ts"
