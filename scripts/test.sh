#!/usr/bin/env bash
# Runs every test: a Release build (unit, kernel and end-to-end tests), and
# beside its tests, at a lower priority, the kernel checks under emulated
# older processors, a Debug build (compiled only), a ThreadSanitizer build
# (encodes on worker threads) and an AddressSanitizer +
# UndefinedBehaviorSanitizer build whose unit and kernel tests and
# command-line error tests run after the Release tests.
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

# The sanitizer builds are optimised only as far as -O1, with line tables
# for the reports' stack traces and no other debugging information: that
# halves their compile time against -O2 -g, and -O1 is what the sanitizers
# are meant to run at (higher levels may optimise a faulty access away).
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -DTARN_BENCH=OFF)

cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
build "$root/build" -j"$jobs"

# Beside the Release tests, at a lower priority (so that the tests' timings
# see the machine as before and the builds take only the cores the tests
# leave idle): the sanitizer builds, the Debug build and the kernel checks
# under emulated older processors.  Their reports are printed when they are
# done.
lanes=$(mktemp -d)
# lower: the calling subshell and all it starts run at the lower priority.
lower() { renice -n 10 -p "$BASHPID" >/dev/null; }
# Every tier's kernels on processors that lack the later instruction sets.
(lower && timed qemu_kernel_check bash "$root/scripts/qemu_kernel_check.sh" "$root/build/tests/kernel_tests") \
  >"$lanes/qemu.log" 2>&1 &
qemu_pid=$!
# The AddressSanitizer + UndefinedBehaviorSanitizer build of the unit and
# kernel tests and of the programs the sanitizer-labelled scripts run.
(lower && cmake -S "$root" -B "$root/build-asan" -G Ninja -DTARN_SANITIZE=ON "${sanitizer_flags[@]}" >/dev/null &&
  build "$root/build-asan" -j"$jobs") >"$lanes/asan.log" 2>&1 &
asan_pid=$!
# The Debug build type must compile too (unoptimised, intrinsics take only
# constant expressions as immediates): the library and the program, from one
# set of position-independent objects, on two jobs.
(lower && cmake -S "$root" -B "$root/build-debug" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARN_PIE=ON -DTARN_TESTS=OFF \
  -DTARN_BENCH=OFF >/dev/null && build "$root/build-debug" -j2 ziravov tarnhevcenc &&
  "$root/build-debug/ziravov" --version >/dev/null && echo "=== the Debug build compiles") >"$lanes/debug.log" 2>&1 &
debug_pid=$!
# The worker threads under ThreadSanitizer.
tsan_check() {
  local log=$root/build-tsan/tsan_check.log
  if ! timed tsan_check bash "$root/scripts/tsan_check.sh" "$root/build-tsan/ziravov" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "=== ThreadSanitizer check failed (full log: $log)"
    return 1
  fi
  echo "=== ThreadSanitizer: $(grep -c '^tsan clean' "$log") encodes clean"
}
(lower && cmake -S "$root" -B "$root/build-tsan" -G Ninja -DTARN_TSAN=ON -DTARN_TESTS=OFF "${sanitizer_flags[@]}" \
  >/dev/null && build "$root/build-tsan" -j"$jobs" ziravov && tsan_check) >"$lanes/tsan.log" 2>&1 &
tsan_pid=$!

status=0
run_tests "$root/build" || status=1

# lane NAME PID: waits for a background lane and prints its report.
lane() {
  local lane_status=0
  wait "$2" || lane_status=$?
  cat "$lanes/$1.log"
  [ "$lane_status" -eq 0 ] || echo "=== $1 failed"
  return $lane_status
}
if lane asan "$asan_pid"; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_tests "$root/build-asan" -L 'unit|kernel|sanitize' || status=1
else
  status=1
fi
lane qemu "$qemu_pid" || status=1
lane debug "$debug_pid" || status=1
lane tsan "$tsan_pid" || status=1
rm -rf "$lanes"
exit $status
