#!/usr/bin/env bash
# The unit suite built for the board's kind of processor: 32-bit and
# little-endian, as i386 (Debian's multilib g++, run natively, with ASan and
# UBSan) and as mipsel (Debian's cross g++, run under qemu-user).  Every
# static_assert on the wire and IPC layouts is checked by the compiler of
# each; the tests then run as CTest's "unit" label.
#
#   scripts/cross.sh [i386] [mipsel]        (default: both)
#
# Build directories: build-i386, build-mipsel (VYX_CROSS_PREFIX overrides
# the "build-" prefix).  Google Test is built from Debian's sources
# (/usr/src/googletest) for each target.  Under qemu-user a test program
# cannot start other target programs (no binfmt handler), so on mipsel the
# tests that run the stand-ins, webctl or vyxstart as child processes are
# left out (and the shared-memory death test, which insists on re-executing
# itself), and test programs that re-enter private namespaces do it
# through the emulator (VYX_TEST_EMULATOR); death tests fork without exec.
# Packages: g++-12-multilib, g++-mipsel-linux-gnu, qemu-user.
# CTest's test cross_32bit (label "cross") runs it when VYX_CROSS=1 is set:
#   VYX_CROSS=1 ./run-tests.sh -L cross
# Exit status: 0 all built and passed, 1 a build or a test failed, 77 no
# toolchain for any asked architecture (skipped).
set -uo pipefail
cd "$(dirname "$0")/.."
# Under CTest (label "cross") it runs only when asked for: two more builds.
if [ -n "${VYX_CROSS_PREFIX:-}" ] && [ "${VYX_CROSS:-0}" != 1 ]; then
  echo "cross.sh: set VYX_CROSS=1 to build and run the i386 and mipsel suites: skipped"
  exit 77
fi
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(i386 mipsel)
prefix=${VYX_CROSS_PREFIX:-build-}
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '#include <cstdio>\nint main() { std::puts("ok"); }\n' >"$probe/p.cpp"

have_toolchain() {
  case $1 in
    i386) g++ -m32 "$probe/p.cpp" -o "$probe/p32" 2>/dev/null && "$probe/p32" >/dev/null ;;
    mipsel) command -v qemu-mipsel >/dev/null &&
            mipsel-linux-gnu-g++ "$probe/p.cpp" -o "$probe/pm" 2>/dev/null &&
            qemu-mipsel -L /usr/mipsel-linux-gnu "$probe/pm" >/dev/null ;;
    *) return 1 ;;
  esac
}

status=0 ran=0
for arch in "${arches[@]}"; do
  if ! have_toolchain "$arch"; then
    echo "cross.sh: no working $arch toolchain (see the packages above): skipped"
    continue
  fi
  ran=1
  build=$prefix$arch
  log=$build/cross-build.log
  mkdir -p "$build"
  opts=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$arch.cmake -DVYX_GTEST_SOURCE=/usr/src/googletest
        -DVYX_E2E=OFF -DVYX_BENCH=OFF -DDVBPSI_LIBRARY=DVBPSI_LIBRARY-NOTFOUND)
  exclude=()
  case $arch in
    i386) opts+=(-DCMAKE_BUILD_TYPE=Debug -DVYX_SANITIZE=ON) ;;
    mipsel) opts+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYX_SANITIZE=OFF)
            exclude=(-E '^(AgentTest|PlayerTest|QueueStandinTest|Webctl|Launcher|SharedMemDeathTest)\.')
            export VYX_TEST_EMULATOR="qemu-mipsel -L /usr/mipsel-linux-gnu"
            # Death tests fork without exec: the emulator cannot exec a target program.
            export GTEST_DEATH_TEST_STYLE=fast ;;
  esac
  start=$(date +%s)
  if ! { cmake -S . -B "$build" -G Ninja "${opts[@]}" &&
         nice cmake --build "$build" -j"${VYX_CROSS_JOBS:-2}"; } >"$log" 2>&1; then
    echo "cross.sh: $arch build failed (log: $log):"; tail -n 30 "$log"
    status=1
    continue
  fi
  built=$(( $(date +%s) - start ))
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  if nice ctest --test-dir "$build" -L unit -j"${VYX_CROSS_JOBS:-2}" --output-on-failure \
       "${exclude[@]}" >"$build/cross-ctest.log" 2>&1; then
    echo "cross.sh: $arch: built in ${built} s; $(grep -E 'tests passed' "$build/cross-ctest.log")"
  else
    echo "cross.sh: $arch: tests failed (log: $build/cross-ctest.log):"
    grep -E '^\s*[0-9]+ - |tests passed' "$build/cross-ctest.log" | head -n 40
    status=1
  fi
  unset VYX_TEST_EMULATOR GTEST_DEATH_TEST_STYLE
done
[ $ran = 1 ] || exit 77
exit $status
