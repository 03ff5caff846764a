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
# (/usr/src/googletest) for each target; only the libraries, programs and
# unit tests are built (no benchmarks, fuzz targets or end-to-end tests).
# On mipsel the tests start the stand-ins, webctl and vyxstart as children,
# and re-enter private namespaces, so the kernel must be able to run a mipsel
# program: through a binfmt_misc handler for qemu-mipsel (one already there,
# or, as root, one registered for this run under a name of its own and
# removed at the end; VYX_CROSS_BINFMT=0 never registers one).  Without it the
# tests start their children through the emulator (VYX_TEST_EMULATOR), death
# tests fork without exec and the one death test that insists on
# re-executing itself is left out.
# Packages: g++-12-multilib, g++-mipsel-linux-gnu, qemu-user (scripts/deps.sh).
# CTest's test cross_32bit (label "cross") runs it when VYX_CROSS=1 is set,
# as ./run-tests.sh does:
#   ./run-tests.sh -L cross
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
binfmt=/proc/sys/fs/binfmt_misc
binfmt_name=
trap 'rm -rf "$probe"; [ -z "$binfmt_name" ] || echo -1 >"$binfmt/$binfmt_name"' EXIT
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

# Can the kernel start a mipsel program (the probe) by itself?  As root a
# handler of this run's own is registered even when another one works, whose
# owner might remove it before this run ends.  The emulator finds the
# target's C library through QEMU_LD_PREFIX, which every child inherits.
mipsel_by_kernel() {
  local qemu
  if [ "${VYX_CROSS_BINFMT:-1}" != 0 ] && [ "$(id -u)" = 0 ] && qemu=$(command -v qemu-mipsel) &&
     { [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; }; then
    # 32-bit little-endian MIPS executables and shared objects; F: the
    # emulator is opened now, so it is found from any mount namespace.
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x08\x00'
    local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf ':vyx-mipsel-%s:M::%s:%s:%s:F\n' $$ "$magic" "$mask" "$qemu" >"$binfmt/register" 2>/dev/null &&
      binfmt_name=vyx-mipsel-$$
  fi
  QEMU_LD_PREFIX=/usr/mipsel-linux-gnu "$probe/pm" >/dev/null 2>&1
}

# CPU seconds (user + system) of this script's finished children so far.
cpu_s() {
  awk -v hz="$(getconf CLK_TCK)" '{ print int(($16 + $17) / hz) }' /proc/$$/stat
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
    # Optimised as for the board, without debug information: it costs 40 % of
    # the compile time at -O2.
    mipsel) opts+=(-DCMAKE_BUILD_TYPE=Release -DVYX_SANITIZE=OFF
                   "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG")
            if mipsel_by_kernel; then
              echo "cross.sh: mipsel: the kernel runs mipsel programs through qemu-mipsel (binfmt_misc" \
                   "${binfmt_name:-handler already there})"
              export QEMU_LD_PREFIX=/usr/mipsel-linux-gnu
            else
              echo "cross.sh: mipsel: no binfmt_misc handler for qemu-mipsel (needs root and binfmt_misc):" \
                   "children start through the emulator; SharedMemDeathTest left out"
              exclude=(-E '^SharedMemDeathTest\.')
              export VYX_TEST_EMULATOR="qemu-mipsel -L /usr/mipsel-linux-gnu"
              # Death tests fork without exec: the kernel cannot exec a target program.
              export GTEST_DEATH_TEST_STYLE=fast
            fi ;;
  esac
  start=$(date +%s) cpu=$(cpu_s)
  if ! { cmake -S . -B "$build" -G Ninja "${opts[@]}" &&
         nice cmake --build "$build" -j"${VYX_CROSS_JOBS:-2}"; } >"$log" 2>&1; then
    echo "cross.sh: $arch build failed (log: $log):"; tail -n 30 "$log"
    status=1
    continue
  fi
  built="$(( $(date +%s) - start )) s (CPU $(( $(cpu_s) - cpu )) s)"
  # A static_assert holds for this target only if it was compiled for it:
  # every source and header that has one must be among the build's inputs.
  inputs=$(cd "$build" && ninja -t deps | sed -n 's/^    //p' | sort -u | xargs -r realpath -m --)
  unbuilt=$(grep -rl --include='*.h' --include='*.cpp' static_assert src platform | xargs -r realpath -m -- |
            grep -vxF -f <(printf '%s\n' "$inputs") || true)
  if [ -n "$unbuilt" ]; then
    echo "cross.sh: $arch: static_asserts not compiled for the target:" $unbuilt
    status=1
  fi
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  start=$(date +%s) cpu=$(cpu_s)
  if nice ctest --test-dir "$build" -L unit -j"${VYX_CROSS_JOBS:-2}" --output-on-failure \
       "${exclude[@]}" >"$build/cross-ctest.log" 2>&1; then
    echo "cross.sh: $arch: built in $built; tests in $(( $(date +%s) - start )) s" \
         "(CPU $(( $(cpu_s) - cpu )) s): $(grep -E 'tests passed' "$build/cross-ctest.log")"
  else
    echo "cross.sh: $arch: tests failed (log: $build/cross-ctest.log):"
    grep -E '^\s*[0-9]+ - |tests passed' "$build/cross-ctest.log" | head -n 40
    # What each failed test said: only this log tells, and it stays behind on
    # the machine that ran it.
    echo "cross.sh: $arch: the failures' own words:"
    grep -E -B3 -A8 'Failure$|\[  FAILED  \]|ERROR: [A-Za-z]+Sanitizer|runtime error:|\*\*\*(Failed|Timeout|Exception)' \
      "$build/cross-ctest.log" | head -n 120
    status=1
  fi
  unset VYX_TEST_EMULATOR GTEST_DEATH_TEST_STYLE QEMU_LD_PREFIX
done
[ $ran = 1 ] || exit 77
exit $status
