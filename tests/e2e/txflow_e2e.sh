#!/usr/bin/env bash
# End-to-end tests of the transmitter's streaming flow in the simulated world.
#
#   txflow_e2e.sh BUILD_DIR SCENARIO
#
# Makes a three-program sample multiplex with ffmpeg (programs 1..3, each a
# video and two audio languages), starts a world with the transmitter tuned
# to it on channel 5, and runs SCENARIO from the controller host:
#   streams   UNIT1 with one program and with all programs, UNIT0, UNIT4 and
#             UNIT5 on stream numbers, and the refusals (UNIT3, UNIT4 without
#             stream text or with a stream number out of range)
#   restart   the saved start-up item and tuner mode survive a RESET: the
#             device comes back streaming the same program without being
#             asked, in the saved tuner mode
#   status    STATUS with no stream, with two streams (one with two
#             programs, one with none) and after UNIT0
#   follow    streams follow their programs: a PMT that first comes two
#             seconds after the tune (past the device's wait) and a PMT
#             version that adds an audio PID (channels 7 and 8, made from
#             the sample by txflow_check.py make-follow)
#   languages LAN? and SUB? on the sample (programs with eng/spa/fra, eng/spa
#             and spa audio) and on the WNET capture (channel 6), and
#             LANG eng,0,spa,0 taking exactly the French PID out of the output
#   samechannel two streams recorded while a third stream of the same
#             channel is started and stopped 20 times: the tuner is not
#             retuned and both recordings are unbroken runs of the input
#             (tests/tools/tsrun_check, $VYX_TSRUN_CHECK)
# Exit 0 pass, 1 fail, 77 skipped (no namespaces or no ffmpeg here).
set -euo pipefail

HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
REPO=$(readlink -f "$HERE/../..")
CHECK="python3 $HERE/txflow_check.py"
TIME_SCALE=10
GROUP=239.1.1.1
PORT=1234

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "--- $*" >&2; }

# Sends one command (from port $SPORT when set: answers that go through the
# tuner forwarding reach the port that first asked); the reply (escaped by
# vyxctl) must be exactly $2.
expect_reply() {
  local cmd=$1 want=$2 got
  got=$(vyxctl send "$VYX_TX" "$cmd" --timeout 60 ${SPORT:+--sport "$SPORT"} || true)
  [ "$got" = "$want" ] || fail "'$cmd' answered '$got', expected '$want'"
  echo "$cmd -> $got" >&2
}

# The same, with the reply matching the extended regular expression $2; the
# reply is left in $REPLY_TEXT and its first group in $REPLY_GROUP.
expect_match() {
  local cmd=$1 re=$2
  REPLY_TEXT=$(vyxctl send "$VYX_TX" "$cmd" --timeout 60 ${SPORT:+--sport "$SPORT"} || true)
  [[ $REPLY_TEXT =~ $re ]] || fail "'$cmd' answered '$REPLY_TEXT', not matching '$re'"
  REPLY_GROUP=${BASH_REMATCH[1]:-}
  echo "$cmd -> $REPLY_TEXT" >&2
}

# record GROUP:PORT SECONDS NAME: the recording in $WORK/NAME.ts, the summary
# in $WORK/NAME.json.
record() {
  vyxctl record "$1" "$2" "$WORK/$3.ts" >"$WORK/$3.json"
  cat "$WORK/$3.json" >&2
}

datagrams() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["datagrams"])' "$1"; }

# A recording must hold exactly the given programs of the input, in 1316-byte
# datagrams, and ffprobe must agree.
check_stream() {
  local name=$1; shift
  $CHECK summary "$WORK/$name.json" --size 1316 --min-datagrams 20 || fail "$name: datagrams"
  if [ "$1" = all ]; then
    $CHECK ts "$INPUT" "$WORK/$name.ts" --all >&2 || fail "$name: stream content"
    $CHECK probe "$WORK/$name.ts" --programs 1 2 3 || fail "$name: ffprobe"
  else
    local args=() p
    for p in "$@"; do args+=(--program "$p"); done
    $CHECK ts "$INPUT" "$WORK/$name.ts" "${args[@]}" >&2 || fail "$name: stream content"
    $CHECK probe "$WORK/$name.ts" --programs "$@" || fail "$name: ffprobe"
  fi
}

expect_silence() {
  record "$1" "$2" "$3"
  [ "$(datagrams "$WORK/$3.json")" = 0 ] || fail "$3: the stream still sends"
}

scenario_streams() {
  step "UNIT1 with one transport/program pair: program 2 only"
  expect_reply "UNIT1,$GROUP,$PORT,5,1,2" 'OK\r\n'
  record "$GROUP:$PORT" 6 one
  check_stream one 2

  step "UNIT1 without pairs: every program"
  expect_reply "UNIT1,239.1.1.2,1235,5" 'OK\r\n'
  record 239.1.1.2:1235 6 all
  check_stream all all
  # The previous stream was stopped.
  expect_silence "$GROUP:$PORT" 1 old

  step "UNIT0 stops all output"
  expect_reply "UNIT0" 'OK\r\n'
  expect_silence 239.1.1.2:1235 2 stopped

  step "UNIT4 on streams 2 and 3, UNIT5 on stream 2"
  expect_reply "UNIT4,2,239.1.1.3,1236,5,1,1" 'OK\r\n'
  expect_reply "UNIT4,3,239.1.1.4,1237,5,1,3" 'OK\r\n'
  record 239.1.1.3:1236 5 s2 &
  local rec2=$!
  record 239.1.1.4:1237 5 s3
  wait "$rec2"
  check_stream s2 1
  check_stream s3 3
  expect_reply "UNIT5,2" 'OK\r\n'
  expect_silence 239.1.1.3:1236 2 s2stopped
  record 239.1.1.4:1237 2 s3still
  [ "$(datagrams "$WORK/s3still.json")" -gt 0 ] || fail "UNIT5,2 stopped stream 3 too"

  step "refusals"
  expect_reply "UNIT3,$GROUP,$PORT,5" 'KO\r\n'
  expect_reply "UNIT4,3" 'KO\r\n'
  expect_reply "UNIT4,9,239.1.1.5,1238,5" 'KO\r\n'
  expect_reply "UNIT5,8" 'KO\r\n'
  expect_reply "UNIT1,300.1.1.1,$PORT,5" 'KO\r\n'
  # A refused command is not saved.
  [ "$(cat "$VYX_WORLD/tx/hd1/vyx_def_startup")" = "UNIT5,2" ] ||
    fail "start-up item is '$(cat "$VYX_WORLD/tx/hd1/vyx_def_startup")'"
  expect_reply "UNIT0" 'OK\r\n'
}

# The CPU figure of a STATUS reply ($1) must be a percentage.
check_cpu() {
  [ "$1" -ge 0 ] && [ "$1" -le 100 ] || fail "CPU figure $1% is not plausible"
}

scenario_status() {
  local tail=' F:ATSC E:0 C:"NO CAM" ([0-9]{1,3})% OK\\r\\n$'
  step "STATUS before anything streams: the no-stream form, tuner not locked"
  expect_match "STATUS" '^STATUS 0 0 0\.0\.0\.0:0 0:0:00:\[\]'"$tail"
  check_cpu "$REPLY_GROUP"

  step "STATUS with a stream of programs 1 and 2 and a stream of none"
  expect_reply "UNIT4,2,239.1.1.3,1236,5,1,1,1,2" 'OK\r\n'
  # Program 9 is not in the multiplex: the stream exists with no program.
  expect_reply "UNIT4,3,239.1.1.4,1237,5,1,9" 'OK\r\n'
  expect_match "STATUS" '^STATUS 1 2 239\.1\.1\.3:1236 0:1:ff:\[0001:0002\] 1 3 239\.1\.1\.4:1237 0:1:ff:\[\]'"$tail"
  check_cpu "$REPLY_GROUP"
  record 239.1.1.3:1236 5 two
  check_stream two 1 2

  step "STATUS after UNIT0: no stream, the tuner still locked at level 5 (x51)"
  expect_reply "UNIT0" 'OK\r\n'
  expect_match "STATUS" '^STATUS 0 0 0\.0\.0\.0:0 0:1:ff:\[\]'"$tail"
  check_cpu "$REPLY_GROUP"
}

scenario_languages() {
  SPORT=40123
  step "LAN?/SUB? on the sample: one line per program, languages with their types"
  expect_reply "UNIT1,$GROUP,$PORT,5" 'OK\r\n'
  expect_reply "LAN?" 'LANG 0001 0001 eng00,spa00,fra00\r\nLANG 0001 0002 eng00,spa00\r\nLANG 0001 0003 spa00\r\nOK\r\n'
  expect_reply "SUB?" 'SUB 0001 0001 \r\nSUB 0001 0002 \r\nSUB 0001 0003 \r\nOK\r\n'
  record "$GROUP:$PORT" 5 before
  $CHECK ts "$INPUT" "$WORK/before.ts" --all >&2 || fail "before LANG: stream content"

  step "LANG eng,0,spa,0: only the French PID leaves the output"
  expect_reply "LANG eng,0,spa,0" 'OK\r\n'
  record "$GROUP:$PORT" 5 after
  $CHECK summary "$WORK/after.json" --size 1316 --min-datagrams 20 || fail "after LANG: datagrams"
  $CHECK ts "$INPUT" "$WORK/after.ts" --all --blocked 0x103 >&2 || fail "after LANG: stream content"

  step "LAN?/SUB? on the WNET capture: eng captions on programs 4 and 5"
  expect_reply "UNIT1,$GROUP,$PORT,6" 'OK\r\n'
  expect_reply "SUB?" 'SUB 07db 0003 \r\nSUB 07db 0004 eng\r\nSUB 07db 0005 eng\r\nOK\r\n'
  expect_reply "LAN?" 'LANG 07db 0003 eng00,spa00,fre00\r\nLANG 07db 0004 eng00,spa00,fre00\r\nLANG 07db 0005 eng00\r\nOK\r\n'
  expect_reply "UNIT0" 'OK\r\n'
}

scenario_follow() {
  step "UNIT1 on a multiplex whose program 2 PMT comes 2 s after the tune: the program streams from then on"
  expect_reply "UNIT1,$GROUP,$PORT,7,1,2" 'OK\r\n'
  record "$GROUP:$PORT" 5 late-out
  $CHECK summary "$WORK/late-out.json" --size 1316 --min-datagrams 20 || fail "late: datagrams"
  $CHECK ts "$WORK/late.ts" "$WORK/late-out.ts" --program 2 >&2 || fail "late: stream content"

  step "UNIT1 on program 1 whose PMT gains an audio PID 2 s after the tune: the PID joins the stream"
  expect_reply "UNIT1,$GROUP,$PORT,8,1,1" 'OK\r\n'
  record "$GROUP:$PORT" 5 change-out
  $CHECK summary "$WORK/change-out.json" --size 1316 --min-datagrams 20 || fail "change: datagrams"
  local pids
  pids=$($CHECK pids "$WORK/change-out.ts") || fail "change: not a transport stream"
  [ "$pids" = "0x0 0x11 0x100 0x101 0x102 0x1000" ] || fail "change: PIDs $pids"
  expect_reply "UNIT0" 'OK\r\n'
}

# Tunes the player has made so far.
tunes() { grep -c '"event": *"tune"' "$VYX_WORLD/tx/player.jsonl" 2>/dev/null || true; }

scenario_samechannel() {
  local tool=${VYX_TSRUN_CHECK:-} i n
  [ -x "$tool" ] || fail "no tsrun_check (VYX_TSRUN_CHECK)"
  step "streams of programs 1 and 2 on channel 5"
  expect_reply "UNIT4,1,239.1.1.3,1236,5,1,1" 'OK\r\n'
  expect_reply "UNIT4,2,239.1.1.4,1237,5,1,2" 'OK\r\n'
  local before
  before=$(tunes)
  # Each recording ends 10 s after its stream stops (UNIT0 below).
  vyxctl record 239.1.1.3:1236 400 "$WORK/p1.ts" --idle 10 >"$WORK/p1.json" &
  local r1=$!
  vyxctl record 239.1.1.4:1237 400 "$WORK/p2.ts" --idle 10 >"$WORK/p2.json" &
  local r2=$!
  local deadline=$((SECONDS + 60))
  until [ -s "$WORK/p1.ts" ] && [ -s "$WORK/p2.ts" ]; do
    [ $SECONDS -lt $deadline ] || fail "the recorders got nothing"
    sleep 0.2
  done

  step "a third stream of channel 5 (program 3) started and stopped 20 times beside them"
  local start=$SECONDS
  for i in $(seq 20); do
    expect_reply "UNIT4,3,239.1.1.5,1238,5,1,3" 'OK\r\n'
    expect_reply "UNIT5,3" 'OK\r\n'
  done
  echo "20 starts and stops took $((SECONDS - start)) s" >&2
  [ "$(tunes)" = "$before" ] || fail "the tuner was retuned $(($(tunes) - before)) times"
  sleep 1
  expect_reply "UNIT0" 'OK\r\n'
  wait "$r1" "$r2"
  cat "$WORK/p1.json" "$WORK/p2.json" >&2

  step "both recordings are unbroken runs of the input"
  for n in 1 2; do
    $CHECK summary "$WORK/p$n.json" --size 1316 --min-datagrams 100 || fail "p$n: datagrams"
    $CHECK long "$INPUT" "$WORK/p$n.ts" --program "$n" --tool "$tool" --restarts 0 >&2 ||
      fail "p$n: not an unbroken run of the input"
  done
}

# Waits until the player has loaded the plug-in $1 times.
wait_loads() {
  local n=$1 deadline=$((SECONDS + 90))
  while [ "$(grep -c '"event": *"load"' "$VYX_WORLD/tx/player.jsonl" 2>/dev/null || echo 0)" -lt "$n" ]; do
    [ $SECONDS -lt $deadline ] || fail "the device did not come back after RESET"
    sleep 0.2
  done
}

tuner_mode_sets() {
  grep '"event": *"set"' "$VYX_WORLD/tx/agent.jsonl" | grep -c '3\.8\.5\.0 i '"$1" || true
}

scenario_restart() {
  local cmd="UNIT1,$GROUP,$PORT,5,1,2"
  step "UNIT1 is saved as the default start-up item"
  expect_reply "$cmd" 'OK\r\n'
  [ "$(cat "$VYX_WORLD/tx/hd1/vyx_def_startup")" = "$cmd" ] || fail "start-up item not saved"
  cmp -s <(printf '%s' "$cmd") "$VYX_WORLD/tx/hd1/vyx_def_startup" || fail "start-up item has extra bytes"

  step "TUNERMODE1 is saved"
  expect_reply "TUNERMODE1" 'OK\r\n'
  [ "$(od -An -c "$VYX_WORLD/tx/hd1/vyx_tunermode" | tr -d ' ')" = '1\n' ] || fail "tuner mode file"
  expect_reply "TUNERMODE3" 'KO\r\n'
  [ "$(od -An -c "$VYX_WORLD/tx/hd1/vyx_tunermode" | tr -d ' ')" = '1\n' ] || fail "TUNERMODE3 changed the file"
  local sets_before
  sets_before=$(tuner_mode_sets 1)

  step "RESET: the device comes back streaming program 2 by itself"
  expect_reply "RESET" 'OK\r\n'
  wait_loads 2
  vyxctl ready "$VYX_TX" --timeout 90 >/dev/null || fail "no VERS answer after RESET"
  record "$GROUP:$PORT" 6 after
  check_stream after 2
  [ "$(tuner_mode_sets 1)" -gt "$sets_before" ] || fail "the tuner mode was not restored at start-up"

  step "UNIT0 is saved too: after the next RESET nothing streams"
  expect_reply "UNIT0" 'OK\r\n'
  expect_reply "RESET" 'OK\r\n'
  wait_loads 3
  vyxctl ready "$VYX_TX" --timeout 90 >/dev/null || fail "no VERS answer after the second RESET"
  expect_silence "$GROUP:$PORT" 2 after0
}

# The device must not have tripped a sanitizer on the way.
check_device_errors() {
  local f
  for f in "$VYX_WORLD"/tx/stderr.log "$VYX_WORLD"/tx/stdout.log; do
    [ -e "$f" ] || continue
    if grep -E -q 'ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:' "$f"; then
      grep -E -m 5 -A 20 'ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:' "$f" >&2
      fail "sanitizer report in $f"
    fi
  done
}

if [ "${1:-}" = __inner ]; then
  WORK=$2 INPUT=$2/three.ts
  "scenario_$3"
  check_device_errors
  echo "PASS: $3" >&2
  exit 0
fi

build=$(readlink -f "${1:?build directory}")
scenario=${2:?scenario}
declare -F "scenario_$scenario" >/dev/null || { echo "unknown scenario $scenario" >&2; exit 2; }
command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null || { echo "no ffmpeg: skipped" >&2; exit 77; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/txflow.XXXXXX")
# TXFLOW_KEEP=1 keeps the stream and the recordings for a look afterwards.
[ -n "${TXFLOW_KEEP:-}" ] && echo "recordings in $WORK" >&2 || trap 'rm -rf "$WORK"' EXIT
langs=()
[ "$scenario" = languages ] && langs=(--languages eng,spa,fra eng,spa spa)
$CHECK make-stream "$WORK/three.ts" "${langs[@]}" || fail "could not make the sample stream"
channels=()
if [ "$scenario" = follow ]; then
  $CHECK make-follow "$WORK/three.ts" "$WORK/late.ts" "$WORK/change.ts" || fail "could not make the follow streams"
  channels=(--channel "7=$WORK/late.ts" --channel "8=$WORK/change.ts")
fi
set +e
"$REPO/platform/devsim" run --build "$build" --tx --channel "5=$WORK/three.ts" \
  --channel "6=$REPO/tests/data/samples/atsc-wnet13-psip.ts" ${channels[@]+"${channels[@]}"} \
  --time-scale "$TIME_SCALE" ${TXFLOW_WORLD:+--keep "$TXFLOW_WORLD"} -- bash "$HERE/txflow_e2e.sh" __inner "$WORK" "$scenario"
rc=$?
set -e
exit $rc
