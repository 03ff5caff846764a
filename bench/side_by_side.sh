#!/usr/bin/env bash
# Side-by-side cost of the transmitter, MuMuDVB and DVBlast on the same input.
#
#   bench/side_by_side.sh BUILD_DIR [--mb N] [--rate BITS_PER_S] [--keep DIR]
#                         [--no-flat]
#
# BUILD_DIR should be a Release build (cmake -DCMAKE_BUILD_TYPE=Release).
# Makes a three-program multiplex with ffmpeg (3 x 5 Mbit/s MPEG-2 video with
# AC-3 audio, 19.39 Mbit/s).  Every program under test runs on the simulated
# transmitter host and sends program 2 over the simulated LAN to a recorder
# on the controller host, so the kernel's delivery is charged alike.
#
# World 1, every feed paced at the rate (default 40 Mbit/s):
#   1. the transmitter (the player stand-in hosting the plug-in), MuMuDVB
#      (through bench/fakedvb.c on a FIFO) and DVBlast (on a UDP input, the
#      one it has besides a card) run at once for N MB (default 200); the
#      peers' feeders are processes of their own, not counted;
#   2. the transmitter sends two streams (programs 2 and 3); each recording
#      must be an unbroken run of the input's packets of its PIDs with a
#      valid regenerated PAT;
#   3. every stream stopped, the player goes on feeding the plug-in: what the
#      stand-in's own feed costs, subtracted from the transmitter's figure.
# World 2 (unless --no-flat), every feed flat out: MuMuDVB and DVBlast on N
# MB each in turn, then the transmitter for as long, then its feed alone.
#
# The transmitter's CPU comes from the player's own progress events (bytes
# fed and, read at the same instant, the CPU of the process, of its feed
# thread and of the plug-in's threads); the peers' from /proc (user+sys).
# Ours, net: the plug-in's threads plus the feed thread, less what the feed
# thread costs with no stream (the stand-in's own feeding); the stand-in's
# other threads are left out.
# Prints a table, and the same figures as JSON on the last line.
# Exit 0 when the checks hold, 1 otherwise, 77 when a tool is missing.
set -euo pipefail

HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
REPO=$(readlink -f "$HERE/..")
CHECK="python3 $REPO/tests/e2e/txflow_check.py"
REC="python3 $HERE/side_by_side_check.py"
FEED="python3 $HERE/side_by_side_feed.py"

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "--- $*" >&2; }

# ---------------------------------------------------------------- the world
# proc_cpu PID: user+sys CPU ticks of a process.
proc_cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# The player's last progress event: bytes fed and, in microseconds, the CPU
# of the process, of its feed thread and of the plug-in's threads.
progress() {
  grep '"feed_progress"' "$VYX_WORLD/tx/player.jsonl" | tail -1 |
    python3 -c 'import json,sys; j=json.loads(sys.stdin.read()); print("%d,%d,%d,%d" % (j["bytes"], j["cpuUs"], j["feedCpuUs"], j["vyxCpuUs"]))'
}
unit() {
  [ "$(vyxctl send "$VYX_TX" "$1" --timeout 90)" = 'OK\r\n' ] || fail "$1 refused"
}
on_tx() { devsim exec tx -- "$@"; }

# The peers' set-up on the transmitter host; MuMuDVB reads dvr0 of a
# directory standing in for the card, DVBlast a UDP port on loopback.
peer_setup() {
  local work=$1
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
  echo "239.1.1.10:1242/udp/ttl=1 1 2" >"$work/dvblast.conf"
}
# The peers' own process ids (what runs them in the host is a subshell).
start_mumudvb() {
  on_tx env LD_PRELOAD="$1/fakedvb.so" mumudvb -d -c "$1/mumudvb.conf" >"$1/mumudvb.log" 2>&1 &
  sleep 1
  MUMU=$(pgrep -nx mumudvb) || { tail "$1/mumudvb.log" >&2; fail "MuMuDVB did not start"; }
}
start_dvblast() {
  on_tx dvblast -D "@127.0.0.1:1260/udp" -c "$1/dvblast.conf" -q -q -q >"$1/dvblast.log" 2>&1 &
  sleep 1
  DVBL=$(pgrep -nx dvblast) || { tail "$1/dvblast.log" >&2; fail "DVBlast did not start"; }
}
stop_pids() {
  local p
  for p in "$@"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "$@"; do wait "$p" 2>/dev/null || true; done
}

paced() {
  local work=$1 mb=$2 rate=$3
  local bytes=$((mb * 1000000)) window
  window=$(python3 -c "print('%.1f' % ($bytes * 8 / $rate))")
  vyxctl ready "$VYX_TX" --timeout 60 >/dev/null || fail "the transmitter does not answer"

  step "program 2 out of all three, ${mb} MB at $rate bit/s (${window} s)"
  unit "UNIT1,239.1.1.1,1234,5,1,2"
  local player
  player=$(pgrep -x mediaplayer | head -1)
  [ -n "$player" ] || fail "no player process"
  peer_setup "$work"
  # The feeders loop the file for the window and a little more.
  local more=$((bytes + bytes / 4))
  on_tx $FEED "$work/dev/adapter0/dvr0" "$work/three.ts" "$rate" $more 2>"$work/feed-mumudvb.log" &
  local f1=$!
  start_mumudvb "$work"
  start_dvblast "$work"
  on_tx $FEED udp://127.0.0.1:1260 "$work/three.ts" "$rate" $more 2>"$work/feed-dvblast.log" &
  local f2=$!
  # Everyone settles for a moment before the window opens.
  sleep 3
  kill -0 "$MUMU" 2>/dev/null || { tail "$work/mumudvb.log" >&2; fail "MuMuDVB ended"; }
  kill -0 "$DVBL" 2>/dev/null || { tail "$work/dvblast.log" >&2; fail "DVBlast ended"; }
  $REC record 239.1.1.1:1234 "$window" "$work/ours.ts" >"$work/ours.json" &
  local r1=$!
  $REC record 239.1.1.9:1240 "$window" "$work/mumudvb.ts" >"$work/mumudvb.json" &
  local r2=$!
  $REC record 239.1.1.10:1242 "$window" "$work/dvblast.ts" >"$work/dvblast.json" &
  local r3=$!
  sleep 1  # the recorders join their groups
  local o0 m0 d0 t0 o1 m1 d1 t1
  o0=$(progress) m0=$(proc_cpu "$MUMU") d0=$(proc_cpu "$DVBL") t0=$(date +%s.%N)
  sleep "$window"
  o1=$(progress) m1=$(proc_cpu "$MUMU") d1=$(proc_cpu "$DVBL") t1=$(date +%s.%N)
  wait "$r1" "$r2" "$r3"
  stop_pids "$MUMU" "$DVBL" "$f1" "$f2"

  step "two streams out of the transmitter (programs 2 and 3)"
  # UNIT4 stops stream 0 (the UNIT1 one): streams 1 and 2 carry the two.
  unit "UNIT4,1,239.1.1.1,1234,5,1,2"
  unit "UNIT4,2,239.1.1.3,1236,5,1,3"
  sleep 2
  $REC record 239.1.1.1:1234 "$window" "$work/two-a.ts" >"$work/two-a.json" &
  r1=$!
  $REC record 239.1.1.3:1236 "$window" "$work/two-b.ts" >"$work/two-b.json"
  wait "$r1"

  step "the player's feed alone (every stream stopped), ${window} s"
  unit "UNIT0"
  sleep 2
  local c0 c1
  c0=$(progress)
  sleep "$window"
  c1=$(progress)

  local problems=0
  $CHECK ts "$work/three.ts" "$work/ours.ts" --program 2 >&2 || problems=1
  $CHECK ts "$work/three.ts" "$work/two-a.ts" --program 2 >&2 || problems=1
  $CHECK ts "$work/three.ts" "$work/two-b.ts" --program 3 >&2 || problems=1
  for f in ours two-a two-b; do
    $CHECK summary "$work/$f.json" --size 1316 --min-datagrams 100 >&2 || problems=1
  done
  $REC peer "$work/three.ts" "$work/mumudvb.ts" --pids 0x200,0x201 || problems=1
  $REC peer "$work/three.ts" "$work/dvblast.ts" --pids 0x200,0x201 || problems=1
  python3 "$HERE/side_by_side_check.py" figures "$work/paced.json" "$o0" "$o1" "$c0" "$c1" \
    --rate "$rate" --clean "$problems" --hz "$(getconf CLK_TCK)" \
    --peer "mumudvb,$m0,$m1" --peer "dvblast,$d0,$d1" --window "$t0,$t1"
}

flat() {
  local work=$1 mb=$2
  local bytes=$((mb * 1000000))
  vyxctl ready "$VYX_TX" --timeout 60 >/dev/null || fail "the transmitter does not answer"
  peer_setup "$work"
  local m0 m1 d0 d1 r

  step "flat out: MuMuDVB on ${mb} MB"
  start_mumudvb "$work"
  $REC record 239.1.1.9:1240 3600 - >"$work/flat-mumudvb.json" &
  r=$!
  sleep 3
  kill -0 "$MUMU" 2>/dev/null || { tail "$work/mumudvb.log" >&2; fail "MuMuDVB ended"; }
  m0=$(proc_cpu "$MUMU")
  on_tx $FEED "$work/dev/adapter0/dvr0" "$work/three.ts" 0 $bytes 2>"$work/flat-feed-mumudvb.log"
  sleep 1  # what the FIFO still holds
  m1=$(proc_cpu "$MUMU")
  stop_pids "$MUMU" "$r"

  step "flat out: DVBlast on ${mb} MB"
  start_dvblast "$work"
  $REC record 239.1.1.10:1242 3600 - >"$work/flat-dvblast.json" &
  r=$!
  sleep 3
  kill -0 "$DVBL" 2>/dev/null || { tail "$work/dvblast.log" >&2; fail "DVBlast ended"; }
  d0=$(proc_cpu "$DVBL")
  on_tx $FEED udp://127.0.0.1:1260 "$work/three.ts" 0 $bytes 2>"$work/flat-feed-dvblast.log"
  sleep 1
  d1=$(proc_cpu "$DVBL")
  stop_pids "$DVBL" "$r"

  step "flat out: the transmitter, program 2"
  unit "UNIT1,239.1.1.1,1234,5,1,2"
  $REC record 239.1.1.1:1234 3600 - >"$work/flat-ours.json" &
  r=$!
  sleep 2
  local o0 o1 c0 c1 span
  o0=$(progress)
  # As long as the peers took, about: the player goes at its own pace.
  span=10
  sleep $span
  o1=$(progress)
  stop_pids "$r"

  step "flat out: the player's feed alone"
  unit "UNIT0"
  sleep 2
  c0=$(progress)
  sleep $span
  c1=$(progress)
  python3 "$HERE/side_by_side_check.py" figures "$work/flat.json" "$o0" "$o1" "$c0" "$c1" \
    --hz "$(getconf CLK_TCK)" --peer "mumudvb,$m0,$m1,$bytes" --peer "dvblast,$d0,$d1,$bytes" \
    --datagrams "$work/flat-ours.json,$work/flat-mumudvb.json,$work/flat-dvblast.json"
}

case "${1:-}" in
  __paced) shift; paced "$@"; exit 0 ;;
  __flat) shift; flat "$@"; exit 0 ;;
esac

# ---------------------------------------------------------------- set-up
build=$(readlink -f "${1:?usage: side_by_side.sh BUILD_DIR [--mb N] [--rate BITS_PER_S] [--keep DIR] [--no-flat]}")
shift
mb=200 rate=40000000 keep= doflat=1
while [ $# -gt 0 ]; do
  case $1 in
    --mb) mb=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --no-flat) doflat=0; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
for t in ffmpeg mumudvb dvblast cc; do
  command -v $t >/dev/null || { echo "no $t here: skipped (apt-get install $t)" >&2; exit 77; }
done
if [ -n "$keep" ]; then
  mkdir -p "$keep"; work=$(readlink -f "$keep")
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/sidebyside.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
rm -f "$work/paced.json" "$work/flat.json"
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
world() {
  "$REPO/platform/devsim" run --build "$build" --tx --channel "5=$work/three.ts" \
    --time-scale 10 --keep "$work/world$1" -- bash "$HERE/side_by_side.sh" "$@"
}
set +e
VYX_FEED_RATE=$rate VYX_FEED_PROGRESS_MS=200 world __paced "$work" "$mb" "$rate"
rc=$?
if [ $rc = 0 ] && [ $doflat = 1 ]; then
  VYX_FEED_FAST=1 VYX_FEED_PROGRESS_MS=200 world __flat "$work" "$mb"
  rc=$?
fi
set -e
[ -f "$work/paced.json" ] && python3 "$HERE/side_by_side_check.py" table "$work"
[ -n "$keep" ] && echo "recordings and logs in $work" >&2
exit $rc
