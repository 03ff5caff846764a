#!/usr/bin/env bash
# A compressed week on air: the transmitter and the receiver under a guide
# that rolls, hour by simulated hour, with the signal lost, stand-ins
# restarted, a RESET and a retune every simulated day; two streams out and
# the receiver playing.
#
#   scripts/week.sh [--days D] [--hour-seconds S] [--build DIR] [--keep DIR]
#
# Builds a Release tree without sanitizers (default build-soak, the soak's;
# VYX_WEEK_BUILD overrides), or takes the built tree given with --build (as
# CTest's e2e_week does).  The transmitter's band is two generated
# multiplexes (make_guide_stream week: 4 virtual channels, 30-minute events
# with descriptions of 200-400 bytes, EIT-0..4), rewritten every simulated
# hour (default 5 s of real time, --hour-seconds) with the hour's STT;
# scripts/week_control.py drives the devices from the controller host
# (platform/devsim, time scale 10) and prints a JSON line per simulated day:
# the next 12 h of guide complete (events and descriptions answered
# exactly), datagrams sent and received, report lines written, the
# players' RSS.  Default 7 days: about 25 minutes.  Exit 0 when every day
# holds; 1 when a check fails (week_control.py says which).
# VYX_WEEK_RATE (bits/s, default 2000000) sets the feed rate.
set -euo pipefail
cd "$(dirname "$0")/.."
days=7 hour=5 build= keep=
while [ $# -gt 0 ]; do
  case $1 in
    --days) days=$2; shift 2 ;;
    --hour-seconds) hour=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "week.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

nice=
if [ -z "$build" ]; then
  # A long run yields to other work; CTest's short one keeps up with its feed.
  nice="nice -n 10"
  build=${VYX_WEEK_BUILD:-build-soak}
  . scripts/release_build.sh
  build_release "$build" week
fi
build=$(readlink -f "$build")
generator=$build/platform/guidestream/make_guide_stream
[ -x "$generator" ] || { echo "week.sh: no $generator" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vyxweek.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A copy: a rebuild of the tree meanwhile does not take it away mid-week.
cp "$generator" "$work/make_guide_stream"
generator=$work/make_guide_stream
for mux in 0 1; do "$generator" week "$work/mux$mux.ts" "$mux" 0 "$work/mux$mux.json"; done
keep_opt=()
[ -n "$keep" ] && keep_opt=(--keep "$keep")
export VYX_FEED_RATE=${VYX_WEEK_RATE:-2000000}
$nice platform/devsim run --build "$build" --tx --rx --time-scale 10 \
  --channel "5=$work/mux0.ts" --channel "7=$work/mux1.ts" "${keep_opt[@]}" -- \
  python3 scripts/week_control.py "$work" "$generator" --days "$days" --hour-seconds "$hour"
