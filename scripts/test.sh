#!/usr/bin/env bash
# Runs every test: a Release build (unit, kernel and end-to-end tests, the
# kernel checks under emulated older processors), a Debug build (compiled
# only) and an AddressSanitizer + UndefinedBehaviorSanitizer build of the
# unit and kernel tests and the command-line error tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
bash "$root/scripts/install_packages.sh"

cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$root/build" -j"$jobs"
(cd "$root/build" && ctest -j"$jobs" --output-on-failure)
# Every tier's kernels on processors that lack the later instruction sets
# (beside the sanitizer build; its report is printed when that is done).
qemu_log=$(mktemp)
bash "$root/scripts/qemu_kernel_check.sh" "$root/build/tests/kernel_tests" >"$qemu_log" 2>&1 &
qemu_pid=$!
# The Debug build type must compile too (unoptimised, intrinsics take only
# constant expressions as immediates): the library and the program, beside
# the sanitizer build on two jobs.
debug_log=$(mktemp)
(cmake -S "$root" -B "$root/build-debug" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARN_TESTS=OFF -DTARN_BENCH=OFF &&
  ninja -C "$root/build-debug" -j2 ziravov tarnhevcenc && "$root/build-debug/ziravov" --version) >"$debug_log" 2>&1 &
debug_pid=$!

cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_SANITIZE=ON \
  -DTARN_BENCH=OFF >/dev/null
ninja -C "$root/build-asan" -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$root/build-asan" && ctest -j"$jobs" --output-on-failure -L 'unit|kernel|sanitize')
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
cat "$qemu_log"
rm -f "$qemu_log"
debug_status=0
wait "$debug_pid" || debug_status=$?
[ "$debug_status" -eq 0 ] || { tail -n 40 "$debug_log"; echo "the Debug build failed"; }
rm -f "$debug_log"
[ "$qemu_status" -eq 0 ] && [ "$debug_status" -eq 0 ]

# The worker threads under ThreadSanitizer.
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_TSAN=ON \
  -DTARN_TESTS=OFF -DTARN_BENCH=OFF >/dev/null
ninja -C "$root/build-tsan" -j"$jobs" ziravov
bash "$root/scripts/tsan_check.sh" "$root/build-tsan/ziravov"
