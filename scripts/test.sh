#!/usr/bin/env bash
# Runs every test: a Release build (unit, kernel and end-to-end tests, the
# kernel checks under emulated older processors), a Debug build (compiled
# only) and an AddressSanitizer + UndefinedBehaviorSanitizer build of the
# unit and kernel tests and the command-line error tests.
#
# Prints each step's summary; the full build and test logs stay in the build
# folders (build*/build.log, build*/ctest.log).  Ends with the list of
# skipped tests and why; under CI (CI=true) a skipped end-to-end test fails
# the run (they need ../shared/clips and the decoders).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
bash "$root/scripts/install_packages.sh"

skips=$(mktemp)
# Each step's wall and CPU time (user + system, its child processes
# included), one line per step: NAME WALL USER SYSTEM.
step_times=$(mktemp)
# timed NAME COMMAND...: runs COMMAND and records its times under NAME.
timed() {
  local name=$1 status=0 t
  shift
  t=$(mktemp)
  /usr/bin/time -f "%e %U %S" -o "$t" "$@" || status=$?
  echo "$name $(tail -n 1 "$t")" >>"$step_times"
  rm -f "$t"
  return $status
}
report_skips() {
  if [ -s "$step_times" ]; then
    echo "=== step times (s):"
    awk '{ printf "  %-22s wall %6.0f  CPU %6.0f\n", $1, $2, $3 + $4; cpu += $3 + $4 }
         END { printf "  %-22s wall %6.0f  CPU %6.0f\n", "whole run", whole, cpu }' whole=$SECONDS "$step_times"
  fi
  rm -f "$step_times"
  if [ -s "$skips" ]; then
    echo "=== skipped tests ($(wc -l <"$skips")) and why:"
    sed 's/^/  /' "$skips"
  else
    echo "=== no test skipped"
  fi
  rm -f "$skips"
}
trap report_skips EXIT

# build DIR [NINJA ARGS...]: builds quietly into DIR/build.log.
build() {
  local dir=$1 start=$SECONDS
  shift
  if ! timed "build:$(basename "$dir")" ninja -C "$dir" "$@" >"$dir/build.log" 2>&1; then
    tail -n 60 "$dir/build.log"
    echo "=== build in $dir failed (full log: $dir/build.log)"
    return 1
  fi
  echo "=== built $(basename "$dir") in $((SECONDS - start)) s"
}
# run_tests DIR [CTEST ARGS...]: the tests' summary, failures and skips;
# the full output goes to DIR/ctest.log.
run_tests() {
  local dir=$1 status=0 start=$SECONDS
  shift
  (cd "$dir" && timed "tests:$(basename "$dir")" ctest -j"$jobs" --output-on-failure "$@") >"$dir/ctest.log" 2>&1 ||
    status=$?
  python3 "$root/scripts/ctest_report.py" "$dir" "$dir/ctest.log" "$skips" || status=1
  echo "=== tests in $(basename "$dir"): $((SECONDS - start)) s"
  return $status
}

cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
build "$root/build" -j"$jobs"
run_tests "$root/build"
# Every tier's kernels on processors that lack the later instruction sets
# (beside the sanitizer build; its report is printed when that is done).
qemu_log=$(mktemp)
timed qemu_kernel_check bash "$root/scripts/qemu_kernel_check.sh" "$root/build/tests/kernel_tests" >"$qemu_log" 2>&1 &
qemu_pid=$!
# The Debug build type must compile too (unoptimised, intrinsics take only
# constant expressions as immediates): the library and the program, beside
# the sanitizer build on two jobs.
debug_log=$(mktemp)
(cmake -S "$root" -B "$root/build-debug" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARN_TESTS=OFF -DTARN_BENCH=OFF &&
  timed build:build-debug ninja -C "$root/build-debug" -j2 ziravov tarnhevcenc &&
  "$root/build-debug/ziravov" --version) >"$debug_log" 2>&1 &
debug_pid=$!

cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_SANITIZE=ON \
  -DTARN_BENCH=OFF >/dev/null
build "$root/build-asan" -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_tests "$root/build-asan" -L 'unit|kernel|sanitize'
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
cat "$qemu_log"
rm -f "$qemu_log"
debug_status=0
wait "$debug_pid" || debug_status=$?
if [ "$debug_status" -eq 0 ]; then
  echo "=== the Debug build compiles"
else
  tail -n 40 "$debug_log"
  echo "the Debug build failed"
fi
mv "$debug_log" "$root/build-debug/build.log" 2>/dev/null || rm -f "$debug_log"
[ "$qemu_status" -eq 0 ] && [ "$debug_status" -eq 0 ]

# The worker threads under ThreadSanitizer.
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_TSAN=ON \
  -DTARN_TESTS=OFF -DTARN_BENCH=OFF >/dev/null
build "$root/build-tsan" -j"$jobs" ziravov
tsan_log=$root/build-tsan/tsan_check.log
if ! timed tsan_check bash "$root/scripts/tsan_check.sh" "$root/build-tsan/ziravov" >"$tsan_log" 2>&1; then
  tail -n 60 "$tsan_log"
  echo "=== ThreadSanitizer check failed (full log: $tsan_log)"
  exit 1
fi
echo "=== ThreadSanitizer: $(grep -c '^tsan clean' "$tsan_log") encodes clean"
