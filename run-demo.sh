#!/usr/bin/env bash
# The demo: installs what is missing, builds the device software, starts a
# simulated transmitter and receiver on a private virtual LAN (platform/devsim)
# and shows, from a controller host on that LAN, that both devices answer
# "VERS" and announce themselves with their discovery beacons, and that the
# transmitter streams one program of its multiplex to a multicast group.
#
#   ./run-demo.sh [--keep DIR]       (--keep: keep the world's logs in DIR)
#
# Environment: VYX_DEMO_BUILD (build directory, default build-demo),
# VYX_DEMO_TIME_SCALE (how much faster the devices' waits run, default 1).
# The steps themselves are in demo/demo.py.
set -euo pipefail
cd "$(dirname "$0")"

keep=()
while [ $# -gt 0 ]; do
  case $1 in
    --keep) [ $# -ge 2 ] || { echo "usage: $0 [--keep DIR]" >&2; exit 2; }; keep=(--keep "$2"); shift 2 ;;
    *) echo "usage: $0 [--keep DIR]" >&2; exit 2 ;;
  esac
done

bash scripts/deps.sh

# A release build of the library, the launcher, the player's tool and the
# stand-ins; tests and benchmarks are not needed here.
build=${VYX_DEMO_BUILD:-build-demo}
echo "== Building into $build" >&2
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYX_SANITIZE=OFF \
  -DBUILD_TESTING=OFF -DVYX_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

# The transmitter's tuner plays a three-program sample multiplex on channel 5
# (made with ffmpeg, the same every time; see demo/stream_demo.py).
sample=$(mktemp -d "${TMPDIR:-/tmp}/vyxdemo.XXXXXX")
trap 'rm -rf "$sample"' EXIT
python3 tests/e2e/txflow_check.py make-stream "$sample/three_programs.ts"

echo "== Starting the simulated transmitter and receiver" >&2
platform/devsim run --build "$build" --tx --rx --channel "5=$sample/three_programs.ts" \
  --time-scale "${VYX_DEMO_TIME_SCALE:-1}" "${keep[@]}" -- python3 demo/demo.py
