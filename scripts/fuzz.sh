#!/usr/bin/env bash
# Coverage-guided fuzzing of the parsers and the command dispatcher (fuzz/).
#
#   scripts/fuzz.sh [--smoke] [--time S | --runs N] [--jobs J] [TARGET...]
#   scripts/fuzz.sh --coverage [TARGET...]
#
# Builds BUILD (default build-fuzz; VYX_FUZZ_BUILD overrides) with clang's
# libFuzzer, ASan and UBSan, writes the seed corpora (captures, fixture
# writer, one example per command) and runs each TARGET (default: all of
# filter sections guide huffman commands device device_rx k720cmmd snmp_reply upgrade
# scan_results peers):
#   --smoke   S seconds each (default 10) on a scratch corpus: CTest's "fuzz"
#             label runs this in the README's test command;
#   default   a campaign of S seconds each (default 600), or N executions
#             with --runs, growing BUILD/corpus/TARGET across runs;
#   --jobs J  J instances of each target at once on the one corpus (each
#             with --runs N, or S seconds), their executions added: the
#             command targets spend most of their time in the device's short
#             waits, so two of them share a core well;
#   --coverage  the line coverage of src/ that the campaigns' corpora (with
#             the seeds and regression inputs) reach: builds BUILD-cov with
#             clang's source coverage instead of the sanitizers, replays each
#             TARGET's inputs once and prints llvm-cov's report (per file and
#             in total, for the TARGETs together), then the lines of
#             src/vyxlib and of the guide store and queries reached.
# Every run first replays fuzz/regressions/TARGET/ (inputs that once crashed
# a target, kept after the fix).  A crashing input is written to
# BUILD/artifacts/TARGET/; reproduce it with BUILD/fuzz/fuzz_TARGET FILE.
# Prints, per target: executions, executions per second, edges covered (cov)
# and features (ft).  Exit status: 0 no crash, 1 a crash or a failed build,
# 77 clang or libFuzzer missing (scripts/deps.sh installs them).
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
all=(filter sections guide huffman commands device device_rx k720cmmd snmp_reply upgrade scan_results peers)
smoke=0 seconds="" runs="" jobs=1 coverage=0
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --smoke) smoke=1; shift ;;
    --time) seconds=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --coverage) coverage=1; shift ;;
    -h | --help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
[ -n "$seconds" ] || { [ $smoke = 1 ] && seconds=10 || seconds=600; }
case $jobs in '' | *[!0-9]* | 0) echo "fuzz.sh: --jobs takes a positive count" >&2; exit 2 ;; esac

cxx=${VYX_FUZZ_CXX:-clang++} cc=${VYX_FUZZ_CC:-clang}
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/p.cpp"
if ! command -v "$cxx" >/dev/null || ! "$cxx" -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  echo "fuzz.sh: $cxx with libFuzzer not found: skipped (scripts/deps.sh installs clang)"
  exit 77
fi

build=$(readlink -m "${VYX_FUZZ_BUILD:-build-fuzz}")
corpora=$build/corpus
flags=(-DVYX_SANITIZE=ON)
if [ $coverage = 1 ]; then
  build=$build-cov
  flags=(-DVYX_SANITIZE=OFF "-DCMAKE_C_FLAGS=-fprofile-instr-generate -fcoverage-mapping"
         "-DCMAKE_CXX_FLAGS=-fprofile-instr-generate -fcoverage-mapping")
fi
log=$build/fuzz-build.log
mkdir -p "$build"
if ! { CC=$cc CXX=$cxx cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         "${flags[@]}" -DVYX_FUZZ=ON -DVYX_E2E=OFF -DVYX_BENCH=OFF &&
       nice cmake --build "$build" -j"${VYX_FUZZ_JOBS:-2}" --target fuzz_all; } >"$log" 2>&1; then
  echo "fuzz.sh: build failed (log: $log):"; tail -n 30 "$log"
  exit 1
fi
# Seeds of this run only, so that campaigns of other targets may run beside
# it on the same build.
seeds=$(mktemp -d "$build/seeds.XXXXXX")
trap 'rm -rf "$probe" "$seeds"' EXIT
# (In the coverage build the writer is instrumented too: its profile goes
# with the seeds, not into the tree.)
LLVM_PROFILE_FILE=$seeds/writer.profraw "$build/fuzz/fuzz_seeds" "$seeds" "$repo/tests/data/samples" \
  "$repo/tests/data/huffman/atsc_huffman_vectors.txt" || { echo "fuzz.sh: no seeds"; exit 1; }

# The directories of TARGET's inputs into `dirs`: the given ones (the corpus
# first: libFuzzer adds its finds there), the seeds, the regression inputs.
inputs_of() {
  local t=$1
  shift
  dirs=("$@" "$seeds/$t")
  [ -d "$repo/fuzz/regressions/$t" ] && dirs+=("$repo/fuzz/regressions/$t")
}

status=0
if [ $coverage = 1 ]; then
  profiles=$build/profiles
  rm -rf "$profiles"
  mkdir -p "$profiles"
  objects=()
  for t in "${targets[@]}"; do
    bin=$build/fuzz/fuzz_$t
    corpus=()
    [ -d "$corpora/$t" ] && corpus=("$corpora/$t")
    inputs_of "$t" "${corpus[@]}"
    # Absolute: the command targets run in their own /mnt/work.
    LLVM_PROFILE_FILE=$profiles/$t.%p.profraw "$bin" -runs=0 -close_fd_mask=3 -timeout=30 \
      "${dirs[@]}" >"$build/replay-$t.log" 2>&1 ||
      { echo "fuzz.sh: replay of $t failed (log: $build/replay-$t.log)"; status=1; }
    objects+=(-object "$bin")
  done
  llvm-profdata merge -sparse "$profiles"/*.profraw -o "$build/fuzz.profdata" || exit 1
  # llvm-cov names its first binary bare and the others after -object.
  llvm-cov report "${objects[@]:1}" -instr-profile="$build/fuzz.profdata" "$repo/src" |
    sed "s|$repo/||"
  # The figures the README quotes: lines of src/vyxlib, and of the guide
  # store and queries (tuner/tunermanager_guide*).
  lines_of() {
    llvm-cov report "${objects[@]:1}" -instr-profile="$build/fuzz.profdata" "$@" |
      awk '$1 == "TOTAL" { printf "%d of %d lines (%.1f %%)\n", $8 - $9, $8, 100 * ($8 - $9) / $8 }'
  }
  echo "src/vyxlib: $(lines_of "$repo/src/vyxlib")"
  echo "guide store and queries: $(lines_of "$repo"/src/vyxlib/tuner/tunermanager_guide*.cpp)"
  exit $status
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
printf '%-11s %12s %9s %7s %7s  %s\n' target executions "exec/s" cov ft result
for t in "${targets[@]}"; do
  bin=$build/fuzz/fuzz_$t
  [ -x "$bin" ] || { echo "fuzz.sh: no target $t"; status=1; continue; }
  if [ $smoke = 1 ]; then
    corpus=$build/smoke-corpus/$t
    rm -rf "$corpus"
  else
    corpus=$corpora/$t
  fi
  mkdir -p "$corpus" "$build/artifacts/$t" "$build/logs"
  inputs_of "$t" "$corpus"
  # The filter's seeds are whole captures (56 KB): as its input size that
  # makes most executions long streams; 8 KB (43 packets) still holds a PAT,
  # PMTs and the elementary streams' packets.
  size=()
  [ "$t" = filter ] && size=(-max_len=8192)
  limit=(-max_total_time="$seconds")
  [ -n "$runs" ] && limit=(-runs="$runs")
  # Each instance is a process of its own, so each makes its own private
  # world (fuzz_support.h); libFuzzer's -jobs would start them inside the
  # first one's.
  pids=() outs=()
  for ((j = 1; j <= jobs; j++)); do
    out=$build/logs/$t.log
    [ "$jobs" -gt 1 ] && out=$build/logs/$t.$j.log
    # libFuzzer's own exit status for a crash is 77, the targets' "skipped":
    # a crash must not read as a skip.
    nice "$bin" "${limit[@]}" "${size[@]}" -print_final_stats=1 -close_fd_mask=3 -timeout=30 -error_exitcode=1 \
      -rss_limit_mb=2560 -artifact_prefix="$build/artifacts/$t/" "${dirs[@]}" >"$out" 2>&1 &
    pids+=($!) outs+=("$out")
  done
  rc=0 execs=0 rate=0 cov=0 ft=0
  for ((j = 0; j < jobs; j++)); do
    wait "${pids[$j]}"
    r=$? out=${outs[$j]}
    # A crash wins over a skip, a skip over success.
    if [ $r != 0 ] && { [ $rc = 0 ] || [ $rc = 77 ]; }; then rc=$r; fi
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out" | tail -1)
    v=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out" | tail -1)
    c=$(grep -ao 'cov: [0-9]*' "$out" | tail -1 | cut -d' ' -f2)
    f=$(grep -ao 'ft: [0-9]*' "$out" | tail -1 | cut -d' ' -f2)
    execs=$((execs + ${n:-0})) rate=$((rate + ${v:-0}))
    [ "${c:-0}" -gt $cov ] && cov=$c
    [ "${f:-0}" -gt $ft ] && ft=$f
  done
  [ $execs = 0 ] && execs=- rate=- cov=- ft=-
  case $rc in
    0) result=ok ;;
    77) result="skipped (no private namespaces)" ;;
    *) result="CRASH (log: $out; inputs: $build/artifacts/$t/)"; status=1 ;;
  esac
  printf '%-11s %12s %9s %7s %7s  %s\n' "$t" "$execs" "$rate" "$cov" "$ft" "$result"
  [ $rc = 0 ] || [ $rc = 77 ] || cat "${outs[@]}" | grep -aE 'ERROR|SUMMARY|runtime error|deadly signal' | head -n 5
done
exit $status
