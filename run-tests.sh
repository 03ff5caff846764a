#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds with AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs every unit and end-to-end test
# through CTest, with the unit suite built and run as i386 and mipsel too
# (label "cross"; VYX_CROSS=0 leaves it out).
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/deps.sh
build=${VYX_TEST_BUILD:-build-asan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVYX_SANITIZE=ON
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export VYX_CROSS=${VYX_CROSS:-1}
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
