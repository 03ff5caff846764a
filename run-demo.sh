#!/usr/bin/env bash
# The demo: installs what is missing, builds the device software, starts a
# simulated head-end of two transmitters and two receivers on a private
# virtual LAN (platform/devsim) and tells, from a controller host on that LAN
# and with the integrator's tool (platform/vyxctl), the whole story: the
# devices discovered, a blind scan of the transmitter's band, its channel list
# and guides (M3U, XMLTV), a program streamed, played by the receiver and its
# language switched, a frame of it saved as a PNG, an IR key reaching the
# controller; then a channel lineup from demo/lineup.json placed on both
# transmitters, verified and exported, and a receiver switching between two
# of its channels.
#
#   ./run-demo.sh [--keep DIR]       (--keep: keep the world directory in DIR)
#
# The build's output goes to BUILD/demo-build.log.
#
# Environment: VYX_DEMO_BUILD (build directory, default build-demo),
# VYX_DEMO_TIME_SCALE (how much faster the devices' waits run, default 10),
# VYX_DEMO_OUT (where the playlist, guide, recording and frame go, default
# demo-out).  The steps themselves are in demo/demo.py.
set -euo pipefail
cd "$(dirname "$0")"

keep=()
while [ $# -gt 0 ]; do
  case $1 in
    --keep) [ $# -ge 2 ] || { echo "usage: $0 [--keep DIR]" >&2; exit 2; }; keep=(--keep "$2"); shift 2 ;;
    *) echo "usage: $0 [--keep DIR]" >&2; exit 2 ;;
  esac
done

bash scripts/deps.sh --demo

# A release build of the library, the launcher, the player's tool and the
# stand-ins; tests and benchmarks are not needed here.
# The compiler's output goes to a log; the demo shows one line for it, and
# the log's tail when the build fails.
build=${VYX_DEMO_BUILD:-build-demo}
mkdir -p "$build"
buildlog=$build/demo-build.log
start=$(date +%s)
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYX_SANITIZE=OFF \
         -DBUILD_TESTING=OFF -DVYX_BENCH=OFF &&
       cmake --build "$build" -j"$(nproc)"; } >"$buildlog" 2>&1; then
  echo "== Build FAILED (full log: $buildlog); its last lines:" >&2
  tail -n 30 "$buildlog" >&2
  exit 1
fi
warnings=$(grep -c 'warning:' "$buildlog" || true)
echo "== Built into $build in $(( $(date +%s) - start )) s, $warnings compiler warnings (log: $buildlog)" >&2

# The first transmitter's band: the real WNET capture (three programs with their
# virtual channels) on channel 3, a three-program sample multiplex made with
# ffmpeg (the same every time) on channel 5, a weak signal on channel 7, on
# channel 9 a carrier that locks but carries no table ("nopat"), and on
# channel 11 a generated multiplex (virtual channels 20.1 and 20.2) whose
# guide's titles and descriptions are Huffman-coded.
sample=$(mktemp -d "${TMPDIR:-/tmp}/vyxdemo.XXXXXX")
trap 'rm -rf "$sample"' EXIT
# The sample multiplexes loop without a continuity break (seamless_ts.py), so
# the lineup's verification sees clean counters.  The second transmitter's
# band: one channel, 7, with the sample multiplex in other languages.
python3 tests/e2e/txflow_check.py make-stream "$sample/raw5.ts"
python3 tests/e2e/txflow_check.py make-stream "$sample/raw7.ts" --languages spa fra,ger ita
python3 tests/e2e/seamless_ts.py "$sample/raw5.ts" "$sample/three_programs.ts"
python3 tests/e2e/seamless_ts.py "$sample/raw7.ts" "$sample/three_programs_b.ts"
"$build/platform/guidestream/make_guide_stream" huffman "$sample/guide_huffman.ts"
band=(--channel "3=$PWD/tests/data/samples/atsc-wnet13-psip.ts:5"
      --channel "5=$sample/three_programs.ts:4" --channel "7=nopat:2"
      --channel "9=nopat:5" --channel "11=$sample/guide_huffman.ts:4"
      --channel "tx2:7=$sample/three_programs_b.ts:4")
export VYX_DEMO_OUT=${VYX_DEMO_OUT:-$PWD/demo-out}

echo "== Starting two simulated transmitters and two receivers; the first" \
     "transmitter's band: 3 the WNET capture, 5 a sample multiplex, 7 a weak carrier," \
     "9 a carrier without tables, 11 a generated multiplex with a Huffman-coded guide;" \
     "the second's: 7 a sample multiplex" >&2
rc=0
platform/devsim run --build "$build" --tx 2 --rx 2 "${band[@]}" \
  --time-scale "${VYX_DEMO_TIME_SCALE:-10}" "${keep[@]}" -- python3 demo/demo.py || rc=$?

# Where the world's logs are (or why they are gone).
if [ ${#keep[@]} -gt 0 ]; then
  echo "== World directory kept in ${keep[1]}: tx/ and rx/ hold each device's" \
       "stdout.log and stderr.log (the plug-in's logs and error reports), the" \
       "stand-ins' *.jsonl message logs and the disks hd1/ and hd4/" >&2
else
  echo "== The world directory was temporary and has been removed;" \
       "./run-demo.sh --keep DIR keeps it (each device's logs and disks) in DIR" >&2
fi
exit $rc
