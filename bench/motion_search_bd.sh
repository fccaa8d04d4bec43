#!/usr/bin/env bash
# Motion search against a reference build: BD-rate (luma PSNR, QP 22-37) and
# encode speed of P and B coding at complexity levels 1, 4 and 7 on foreman
# (CIF) and flower (720p), one thread, --bframes 3.  BD-rate is of the new
# build against the reference build at the same level (negative: fewer bits
# for the same quality); speed is the reference's CPU time (user + sys, the
# four QPs together) over the new build's, both measured in the same run.
# NEW_ARGS adds options to the new build's encodes (for example
# NEW_ARGS="--subpel-planes 2").
# usage: bench/motion_search_bd.sh REFERENCE_ZIRAVOV [NEW_ZIRAVOV] [clips dir] [frames]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
ref_bin=${1:?reference ziravov}
new_bin=${2:-$root/build/ziravov}
clips=${3:-$root/../shared/clips}
frames=${4:-10}
new_args=${NEW_ARGS:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/tests/scripts/bd_curve.sh"
cpu() {
  for q in 22 27 32 37; do cat "$1$q.cpu"; done | awk '{s += $1} END {printf "%.2f", s}'
}
printf '%-6s %-18s %10s %10s %10s %8s\n' level clip "BD-rate%" "ref cpu s" "new cpu s" "speed x"
for clip in foreman_cif_60f flower_720p_30f; do
  src="$clips/$clip.y4m"
  [ -f "$src" ] || { echo "missing $src" >&2; continue; }
  for level in 1 4 7; do
    for q in 22 27 32 37; do
      for side in ref new; do
        bin=$ref_bin extra=""
        [ $side = new ] && bin=$new_bin extra=$new_args
        # shellcheck disable=SC2086
        /usr/bin/time -f '%U %S' -o "$work/$clip-$side-$level-$q.time" \
          "$bin" --complexity $level --bframes 3 --frames "$frames" --threads 1 --qp $q --log-level 0 $extra \
          "$src" "$work/$side-$level-$q.hevc" >"$work/$clip-$side-$level-$q.log" 2>&1 &
      done
    done
    wait
    for f in "$work/$clip"-*-"$level"-*.time; do awk '{print $1 + $2}' "$f" >"${f%.time}.cpu"; done
    bd=$(python3 "$root/tests/tools/bd_rate.py" "$(bd_curve "$work/$clip-ref-$level-")" "$(bd_curve "$work/$clip-new-$level-")")
    a=$(cpu "$work/$clip-ref-$level-") b=$(cpu "$work/$clip-new-$level-")
    printf '%-6s %-18s %10s %10s %10s %8s\n' "$level" "$clip" "$bd" "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.3f", a / b}')"
  done
done
