#!/usr/bin/env bash
# What devsim promises from the outside: COMMAND's exit status, its own
# statuses for bad use, the world directory (kept or removed), nothing left
# running after a normal end or a SIGTERM, no /tmp/lumo and no interface
# created outside the world.
#
#   devsim_selftest.sh BUILD_DIR
# Exit 0 pass, 1 fail, 77 skipped (no namespaces here).
set -uo pipefail
HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
DEVSIM=$(readlink -f "$HERE/../../platform/devsim")
BUILD=$(readlink -f "$1")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/devsim-selftest.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
run() { "$DEVSIM" run --build "$BUILD" --time-scale 10 "$@"; }

# Processes whose environment names the world directory $1.
world_processes() {
  grep -lsz "^VYX_WORLD=$1\$" /proc/[0-9]*/environ 2>/dev/null | grep -v "^/proc/$$/" || true
}
lumo_before=$(ls -la /tmp/lumo 2>&1)

run -- true
rc=$?
[ $rc = 77 ] && { echo "namespaces unavailable: skipped"; exit 77; }
[ $rc = 0 ] || fail "'true' gave $rc"

run -- sh -c 'exit 7'; [ $? = 7 ] || fail "COMMAND's status 7 not passed on"
run -- /nonexistent/command 2>/dev/null; [ $? = 127 ] || fail "a missing COMMAND is not 127"
"$DEVSIM" run --build "$WORK/nobuild" --tx -- true 2>/dev/null; [ $? = 2 ] || fail "missing build: not 2"
"$DEVSIM" run --build "$BUILD" 2>/dev/null; [ $? = 2 ] || fail "no COMMAND: not 2"
"$DEVSIM" run --build "$BUILD" --bogus -- true 2>/dev/null; [ $? = 2 ] || fail "bad option: not 2"
# The help: on stdout, status 0, with the options, the hosts and the statuses.
for h in "--help" "run --help"; do
  out=$("$DEVSIM" $h 2>/dev/null) || fail "devsim $h: not 0"
  for want in "--keep DIR" "--time-scale F" "10.77.0.2" "10.77.0.3" "10.77.0.10" "Exit status" "77 namespaces"; do
    grep -qF -- "$want" <<<"$out" || fail "devsim $h does not mention '$want'"
  done
done
"$DEVSIM" run --build "$BUILD" --channel 5 -- true 2>/dev/null; [ $? = 2 ] || fail "bad --channel: not 2"
# Temporary worlds go away whatever the outcome.
mkdir "$WORK/tmp"
TMPDIR=$WORK/tmp "$DEVSIM" run --build "$BUILD" --channel x=y -- true 2>/dev/null
TMPDIR=$WORK/tmp "$DEVSIM" run --build "$BUILD" -- false
[ -z "$(ls -A "$WORK/tmp")" ] || fail "temporary worlds left: $(ls "$WORK/tmp")"

# A temporary world disappears with the run; a kept one stays with the logs.
run --tx -- sh -c 'echo "$VYX_WORLD" >"$0"; echo "$VYX_TX" >"$VYX_WORLD/seen"' "$WORK/tmpworld" ||
  fail "run with a transmitter"
tmpworld=$(cat "$WORK/tmpworld")
[ -n "$tmpworld" ] && [ ! -e "$tmpworld" ] || fail "temporary world $tmpworld left behind"
[ -z "$(world_processes "$tmpworld")" ] || fail "processes left from $tmpworld"

kept=$WORK/kept
run --tx --keep "$kept" -- sh -c 'echo "$VYX_TX" >"$VYX_WORLD/seen"' || fail "run with --keep"
[ "$(cat "$kept/seen")" = 10.77.0.2:5000 ] || fail "VYX_TX in the kept world"
for f in player.jsonl agent.jsonl stdout.log stderr.log; do
  [ -e "$kept/tx/$f" ] || fail "kept world has no tx/$f"
done
[ -z "$(world_processes "$kept")" ] || fail "processes left from $kept"
# The same directory can hold the next run.
run --tx --keep "$kept" -- true || fail "second run in a kept world"
mkdir "$WORK/notaworld" && touch "$WORK/notaworld/x"
run --keep "$WORK/notaworld" -- true 2>/dev/null; [ $? = 2 ] || fail "--keep over a foreign directory"

# SIGTERM while COMMAND runs: status 143 and the whole world gone.
killed=$WORK/killed
"$DEVSIM" run --build "$BUILD" --time-scale 10 --tx --rx --keep "$killed" -- \
  sh -c 'touch "$VYX_WORLD/started"; sleep 600' &
pid=$!
for _ in $(seq 600); do [ -e "$killed/started" ] && break; sleep 0.05; done
[ -e "$killed/started" ] || fail "COMMAND did not start"
[ -n "$(world_processes "$killed")" ] || fail "no world processes seen while running"
kill -TERM $pid
wait $pid; rc=$?
[ $rc = 143 ] || fail "SIGTERM gave $rc"
for _ in $(seq 100); do [ -z "$(world_processes "$killed")" ] && break; sleep 0.05; done
[ -z "$(world_processes "$killed")" ] || fail "processes left after SIGTERM: $(world_processes "$killed")"

# Ctrl-C (SIGINT to the whole process group): COMMAND ends with it, and so
# does the world, with COMMAND's status.
interrupted=$WORK/interrupted
setsid "$DEVSIM" run --build "$BUILD" --time-scale 10 --tx --keep "$interrupted" -- \
  sh -c 'touch "$VYX_WORLD/started"; exec sleep 600' &
pid=$!
for _ in $(seq 600); do [ -e "$interrupted/started" ] && break; sleep 0.05; done
[ -e "$interrupted/started" ] || fail "COMMAND did not start (Ctrl-C case)"
kill -INT -- -$pid
wait $pid; rc=$?
[ $rc = 130 ] || fail "Ctrl-C gave $rc"
[ -z "$(world_processes "$interrupted")" ] || fail "processes left after Ctrl-C"

# Nothing created outside the world.
[ "$(ls -la /tmp/lumo 2>&1)" = "$lumo_before" ] || fail "/tmp/lumo changed outside the world"
ip link show tx-lan >/dev/null 2>&1 && fail "an interface of the world is visible outside"
echo "devsim self-test passed"
