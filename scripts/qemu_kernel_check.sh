#!/usr/bin/env bash
# Runs the kernel verification suites on emulated processors: core2duo
# (SSSE3, no SSE4.1) and Nehalem (SSE4.2, no AVX).  A kernel installed under
# a tier whose flag does not cover its instructions dies with an illegal
# instruction here; the tiers each processor has must pass.
# Usage: scripts/qemu_kernel_check.sh [kernel_tests binary]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/tests/kernel_tests}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
pids=()
for cpu in core2duo Nehalem; do
  qemu-x86_64 -cpu "$cpu" "$bin" --gtest_filter='Checkasm*:PixelCosts*:PixelSlotMap*:-*/flags0' >"$out/$cpu.log" 2>&1 &
  pids+=($!)
done
status=0
i=0
for cpu in core2duo Nehalem; do
  if ! wait "${pids[$i]}"; then
    echo "kernel checks failed under qemu -cpu $cpu:"
    grep -E 'FAILED|Illegal|signal|Failure' "$out/$cpu.log" | head -40 || tail -40 "$out/$cpu.log"
    status=1
  elif ! grep -q '^\[       OK \] Checkasm.*/flags2 ' "$out/$cpu.log"; then
    # The SSSE3 tier must actually have been tested, not skipped.
    echo "kernel checks under qemu -cpu $cpu did not run the SSSE3 tier"
    status=1
  else
    echo "kernel checks pass under qemu -cpu $cpu ($(grep -c '^\[       OK \]' "$out/$cpu.log") tests)"
  fi
  i=$((i + 1))
done
exit $status
