#!/usr/bin/env bash
# Motion search against a reference build: BD-rate (luma PSNR, QP 22-37) and
# encode speed of P and B coding at complexity levels 1, 4 and 7 on foreman
# (CIF) and flower (720p), one thread, --bframes 3.  BD-rate is of the new
# build against the reference build at the same level (negative: fewer bits
# for the same quality).
# usage: bench/motion_search_bd.sh REFERENCE_ZIRAVOV [NEW_ZIRAVOV] [clips dir] [frames]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
ref_bin=${1:?reference ziravov}
new_bin=${2:-$root/build/ziravov}
clips=${3:-$root/../shared/clips}
frames=${4:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/tests/scripts/bd_curve.sh"
fps() {
  for q in 22 27 32 37; do sed -n 's/^encoded .*(\([0-9.]*\) fps).*/\1/p' "$1$q.log"; done |
    awk '{s += $1} END {printf "%.2f", s / NR}'
}
printf '%-6s %-18s %10s %10s %10s %8s\n' level clip "BD-rate%" "ref fps" "new fps" "speed x"
for clip in foreman_cif_60f flower_720p_30f; do
  src="$clips/$clip.y4m"
  [ -f "$src" ] || { echo "missing $src" >&2; continue; }
  for level in 1 4 7; do
    for q in 22 27 32 37; do
      for side in ref new; do
        bin=$ref_bin
        [ $side = new ] && bin=$new_bin
        "$bin" --complexity $level --bframes 3 --frames "$frames" --threads 1 --qp $q --log-level 0 \
          "$src" "$work/$side-$level-$q.hevc" >"$work/$clip-$side-$level-$q.log" 2>&1 &
      done
    done
    wait
    bd=$(python3 "$root/tests/tools/bd_rate.py" "$(bd_curve "$work/$clip-ref-$level-")" "$(bd_curve "$work/$clip-new-$level-")")
    a=$(fps "$work/$clip-ref-$level-") b=$(fps "$work/$clip-new-$level-")
    printf '%-6s %-18s %10s %10s %10s %8s\n' "$level" "$clip" "$bd" "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.2f", b / a}')"
  done
done
