#!/usr/bin/env bash
# Side-by-side cost of the transmitter and of MuMuDVB on the same input.
#
#   bench/side_by_side.sh BUILD_DIR [--mb N] [--rate BITS_PER_S] [--keep DIR]
#
# BUILD_DIR should be a Release build (cmake -DCMAKE_BUILD_TYPE=Release).
# Makes a three-program multiplex with ffmpeg (3 x 5 Mbit/s MPEG-2 video with
# AC-3 audio, 19.39 Mbit/s), then, in one simulated world:
#   1. the transmitter (the player stand-in hosting the plug-in) tuned to it
#      and MuMuDVB (through bench/fakedvb.c, fed by a separate feeder process)
#      each send program 2 out, both fed the same multiplex at the same rate
#      (default 40 Mbit/s) for N MB (default 200); the CPU (user+sys) of each
#      process over that window is reported per 100 MB of input, and both
#      outputs are recorded and checked;
#   2. the transmitter sends two streams (programs 2 and 3) at the same rate;
#      each recording must be an unbroken run of the input's packets of its
#      PIDs (nothing lost, nothing broken) with a valid regenerated PAT.
# Prints a table, and the same figures as JSON on the last line.
# Exit 0 when the checks hold, 1 otherwise, 77 when a tool is missing.
set -euo pipefail

HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
REPO=$(readlink -f "$HERE/..")
CHECK="python3 $REPO/tests/e2e/txflow_check.py"

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "--- $*" >&2; }

# ---------------------------------------------------------------- the world
# proc_cpu PID: user+sys CPU ticks of a process.
proc_cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }

inner() {
  local work=$1 mb=$2 rate=$3
  local bytes=$((mb * 1000000)) window
  window=$(python3 -c "print('%.1f' % ($bytes * 8 / $rate))")
  local hz
  hz=$(getconf CLK_TCK)
  vyxctl ready "$VYX_TX" --timeout 60 >/dev/null || fail "the transmitter does not answer"

  step "program 2 out of both, ${mb} MB at $rate bit/s (${window} s)"
  [ "$(vyxctl send "$VYX_TX" "UNIT1,239.1.1.1,1234,5,1,2" --timeout 60)" = 'OK\r\n' ] || fail "UNIT1 refused"
  local player
  player=$(pgrep -x mediaplayer | head -1)
  [ -n "$player" ] || fail "no player process"

  mkdir -p "$work/dev/adapter0"
  : >"$work/dev/adapter0/frontend0"
  : >"$work/dev/adapter0/demux0"
  rm -f "$work/dev/adapter0/dvr0"
  mkfifo "$work/dev/adapter0/dvr0"
  cat >"$work/mumudvb.conf" <<EOF
card_dev_path=$work/dev/adapter0
card=0
freq=557000
delivery_system=ATSC
modulation=VSB8
multicast_ttl=1
multicast_iface4=eth0
filename_pid=$work/mumudvb.pid
timeout_no_diff=0
tuning_timeout=10
new_channel
ip=239.1.1.9
port=1240
name=Program2
pids=4097 512 513
EOF
  # The feeder loops the file into the FIFO for the window and a little more.
  python3 "$HERE/side_by_side_feed.py" "$work/dev/adapter0/dvr0" "$work/three.ts" "$rate" \
    $((bytes + bytes / 4)) 2>"$work/feeder.log" &
  local feeder=$!
  LD_PRELOAD=$work/fakedvb.so mumudvb -d -c "$work/mumudvb.conf" >"$work/mumudvb.log" 2>&1 &
  local mumu=$!
  # Both settle for a moment before the window opens.
  sleep 3
  kill -0 "$mumu" 2>/dev/null || { tail "$work/mumudvb.log" >&2; fail "MuMuDVB ended"; }
  vyxctl record 239.1.1.1:1234 "$window" "$work/ours.ts" >"$work/ours.json" &
  local rec1=$!
  vyxctl record 239.1.1.9:1240 "$window" "$work/mumudvb.ts" >"$work/mumudvb.json" &
  local rec2=$!
  local p0 m0 t0 p1 m1 t1
  p0=$(proc_cpu "$player") m0=$(proc_cpu "$mumu") t0=$(date +%s.%N)
  wait "$rec1" "$rec2"
  p1=$(proc_cpu "$player") m1=$(proc_cpu "$mumu") t1=$(date +%s.%N)
  kill -TERM "$mumu" 2>/dev/null || true
  kill "$feeder" 2>/dev/null || true
  wait "$mumu" "$feeder" 2>/dev/null || true
  grep -E 'partial packet|overflow' "$work/mumudvb.log" | tail -3 >&2 || true

  step "two streams out of the transmitter (programs 2 and 3)"
  # UNIT4 stops stream 0 (the UNIT1 one): streams 1 and 2 carry the two.
  [ "$(vyxctl send "$VYX_TX" "UNIT4,1,239.1.1.1,1234,5,1,2" --timeout 60)" = 'OK\r\n' ] || fail "UNIT4,1 refused"
  [ "$(vyxctl send "$VYX_TX" "UNIT4,2,239.1.1.3,1236,5,1,3" --timeout 60)" = 'OK\r\n' ] || fail "UNIT4,2 refused"
  sleep 2
  vyxctl record 239.1.1.1:1234 "$window" "$work/two-a.ts" >"$work/two-a.json" &
  rec1=$!
  vyxctl record 239.1.1.3:1236 "$window" "$work/two-b.ts" >"$work/two-b.json"
  wait "$rec1"
  local problems=0
  $CHECK ts "$work/three.ts" "$work/ours.ts" --program 2 >&2 || problems=1
  $CHECK ts "$work/three.ts" "$work/two-a.ts" --program 2 >&2 || problems=1
  $CHECK ts "$work/three.ts" "$work/two-b.ts" --program 3 >&2 || problems=1
  for f in ours two-a two-b; do
    $CHECK summary "$work/$f.json" --size 1316 --min-datagrams 100 >&2 || problems=1
  done

  python3 - "$work" "$bytes" "$window" "$hz" "$p0" "$p1" "$m0" "$m1" "$t0" "$t1" "$rate" "$problems" <<'EOF'
import json, sys
work, nbytes, window, hz = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
p0, p1, m0, m1 = (int(x) for x in sys.argv[5:9])
t0, t1, rate, problems = float(sys.argv[9]), float(sys.argv[10]), float(sys.argv[11]), int(sys.argv[12])
fed = rate / 8 * (t1 - t0)  # both feeds run at the same rate through the window
ours = (p1 - p0) / hz * 100e6 / fed
mumu = (m1 - m0) / hz * 100e6 / fed
rec = {f: json.load(open("%s/%s.json" % (work, f))) for f in ("ours", "mumudvb", "two-a", "two-b")}
print("input %.0f MB at %.1f Mbit/s over %.1f s" % (fed / 1e6, rate / 1e6, t1 - t0))
print("%-34s %10s %12s" % ("", "CPU s", "per 100 MB"))
print("%-34s %10.2f %12.3f" % ("transmitter (player + plug-in)", (p1 - p0) / hz, ours))
print("%-34s %10.2f %12.3f" % ("MuMuDVB 1.7.1", (m1 - m0) / hz, mumu))
print("ratio ours / MuMuDVB: %.2f" % (ours / mumu if mumu > 0 else float("nan")))
for f in ("ours", "mumudvb", "two-a", "two-b"):
    print("%-8s %8d datagrams" % (f, rec[f]["datagrams"]))
print("two streams clean: %s" % ("yes" if problems == 0 else "NO"))
print(json.dumps({"input_mb": round(fed / 1e6), "rate": rate, "ours_cpu_per_100mb": round(ours, 4),
                  "mumudvb_cpu_per_100mb": round(mumu, 4),
                  "ratio": round(ours / mumu, 3) if mumu > 0 else None,
                  "datagrams": {f: rec[f]["datagrams"] for f in rec}, "clean": problems == 0}))
EOF
  [ "$problems" = 0 ] || fail "an output stream was not clean"
}

if [ "${1:-}" = __inner ]; then
  shift
  inner "$@"
  exit 0
fi

# ---------------------------------------------------------------- set-up
build=$(readlink -f "${1:?usage: side_by_side.sh BUILD_DIR [--mb N] [--rate BITS_PER_S] [--keep DIR]}")
shift
mb=200 rate=40000000 keep=
while [ $# -gt 0 ]; do
  case $1 in
    --mb) mb=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
for t in ffmpeg mumudvb cc; do
  command -v $t >/dev/null || { echo "no $t here: skipped (scripts/deps.sh installs it)" >&2; exit 77; }
done
if [ -n "$keep" ]; then
  mkdir -p "$keep"; work=$(readlink -f "$keep")
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/sidebyside.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
step "input: three programs, 19.39 Mbit/s"
ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i testsrc=size=720x480:rate=30000/1001:duration=20 \
  -f lavfi -i sine=frequency=440:sample_rate=48000:duration=20 \
  -vf noise=alls=30:allf=t -c:v mpeg2video -b:v 5M -minrate 5M -maxrate 5M -bufsize 1835k -g 15 \
  -c:a ac3 -b:a 192k -f mpegts "$work/one.ts"
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$work/one.ts" \
  -map 0:v -map 0:a -map 0:v -map 0:a -map 0:v -map 0:a -c copy \
  -streamid 0:0x100 -streamid 1:0x101 -streamid 2:0x200 -streamid 3:0x201 -streamid 4:0x300 -streamid 5:0x301 \
  -program program_num=1:title=a:st=0:st=1 -program program_num=2:title=b:st=2:st=3 \
  -program program_num=3:title=c:st=4:st=5 \
  -mpegts_transport_stream_id 1 -mpegts_pmt_start_pid 0x1000 -muxrate 19392658 -f mpegts "$work/three.ts"
cc -O2 -Wall -Wextra -shared -fPIC -o "$work/fakedvb.so" "$HERE/fakedvb.c" -ldl
set +e
VYX_FEED_RATE=$rate "$REPO/platform/devsim" run --build "$build" --tx --channel "5=$work/three.ts" \
  --time-scale 10 -- bash "$HERE/side_by_side.sh" __inner "$work" "$mb" "$rate"
rc=$?
set -e
[ -n "$keep" ] && echo "recordings and logs in $work" >&2
exit $rc
