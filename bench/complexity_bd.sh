#!/usr/bin/env bash
# Rate-distortion and speed of every complexity level against level 0:
# intra-only coding of foreman and carphone at QP 22/27/32/37, BD-rate on
# luma PSNR and encoding speed (frames per second, one thread).
# usage: bench/complexity_bd.sh [ziravov] [clips dir] [frames]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/ziravov}
clips=${2:-$root/../shared/clips}
frames=${3:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/tests/scripts/bd_curve.sh"
printf '%-8s %-16s %10s %10s %10s\n' level clip "BD-rate%" fps "speed x"
for clip in foreman_cif_60f carphone_qcif; do
  src="$clips/$clip.y4m"
  [ -f "$src" ] || { echo "missing $src" >&2; exit 1; }
  for level in 0 1 2 3 4 5 6 7; do
    for q in 22 27 32 37; do
      "$bin" --complexity $level --keyint 1 --frames "$frames" --threads 1 --qp $q --log-level 0 \
        "$src" "$work/$level-$q.hevc" >"$work/$clip-$level-$q.log" 2>&1 &
    done
    wait
  done
  fps() {
    # Mean speed over the four QPs.
    for q in 22 27 32 37; do sed -n 's/^encoded .*(\([0-9.]*\) fps).*/\1/p' "$work/$clip-$1-$q.log"; done |
      awk '{s += $1} END {printf "%.2f", s / NR}'
  }
  base=$(bd_curve "$work/$clip-0-")
  base_fps=$(fps 0)
  for level in 0 1 2 3 4 5 6 7; do
    bd=$(python3 "$root/tests/tools/bd_rate.py" "$base" "$(bd_curve "$work/$clip-$level-")")
    f=$(fps $level)
    printf '%-8s %-16s %10s %10s %10s\n' "$level" "$clip" "$bd" "$f" "$(awk -v a="$f" -v b="$base_fps" 'BEGIN {printf "%.2f", a / b}')"
  done
done
