#!/usr/bin/env bash
# The CU search on half-resolution pictures (the internal setting
# lowres_cu_search, reached through the test program ziravov_internal)
# against the same program with it off: per clip and complexity level the
# Y-PSNR BD-rate (negative: fewer bits for the same quality) and the CPU
# time (user + system) of on over off, QP 22/27/32/37, --bframes 3, one
# thread per encode, up to JOBS encodes at once (both sides of a point run
# side by side, so a loaded machine weighs on both alike).
# Usage: bench/lowres_cu_bd.sh [ziravov_internal] [clips folder]
# (LEVELS="2 4" the levels, CLIPS="foreman flower720" the clips, FRAMES=n
# caps the pictures per clip.)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
enc=${1:-$root/build/tests/ziravov_internal}
clips=${2:-$root/../shared/clips}
levels=${LEVELS:-2 4}
jobs=${JOBS:-4}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -x "$enc" ] || { echo "no ziravov_internal at $enc" >&2; exit 2; }
. "$root/bench/encode_lib.sh"

printf 'load at start: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %5s %10s %10s\n' clip level "BD-rate Y" "CPU on/off"
for name in ${CLIPS:-foreman flower720}; do
  read -r src frames < <(clip_file "$name")
  [ -n "${FRAMES:-}" ] && [ "$FRAMES" -lt "$frames" ] && frames=$FRAMES
  for lv in $levels; do
    running=0
    for q in 22 27 32 37; do
      for on in 0 1; do
        timed "$work/$name-$lv-$on-$q" "$enc" --internal lowres_cu_search=$on --complexity "$lv" --bframes 3 \
          --qp "$q" --threads 1 --frames "$frames" --log-level 0 "$src" "$work/$name-$lv-$on-$q.hevc" &
        running=$((running + 1))
        if [ $running -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
      done
    done
    wait
    curve() { for q in 22 27 32 37; do printf '%s ' "$(zv_point "$work/$name-$lv-$1-$q")"; done; }
    bd=$(python3 "$root/tests/tools/bd_rate.py" "$(curve 0)" "$(curve 1)")
    read -r _ c0 _ < <(totals "$work/$name-$lv-0-")
    read -r _ c1 _ < <(totals "$work/$name-$lv-1-")
    awk -v n="$name" -v l="$lv" -v bd="$bd" -v a="$c0" -v b="$c1" 'BEGIN { printf "%-10s %5s %9s%% %10.2f\n", n, l, bd, b / a }'
  done
done
printf 'load at end: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
