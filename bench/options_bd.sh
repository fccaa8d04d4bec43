#!/usr/bin/env bash
# Rate-distortion and speed of option sets of one build against the first:
# each clip at QP 22/27/32/37, BD-rate on luma PSNR and on the 6:1:1
# weighted YUV PSNR (negative: better) and the encoder's CPU time (user +
# sys, summed over the four QPs) as a ratio to the first set.
# usage: bench/options_bd.sh ziravov "base options" "options" ... 
# Environment: CLIPS_LIST (default "foreman_cif_60f flower_720p_30f"),
# FRAMES (default 0: all), JOBS (parallel encodes, default 4), CLIPS_DIR.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:?ziravov}
shift
[ $# -ge 2 ] || { echo "need a base option set and at least one more" >&2; exit 1; }
clips=${CLIPS_DIR:-$root/../shared/clips}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/tests/scripts/bd_curve.sh"
cpu_of() { cat "$1"*.cpu | awk '{s += $1} END {printf "%.2f", s}'; }
sets=("$@")
for clip in ${CLIPS_LIST:-foreman_cif_60f flower_720p_30f}; do
  src="$clips/$clip.y4m"
  [ -f "$src" ] || { echo "missing $src" >&2; exit 1; }
  for i in "${!sets[@]}"; do
    for q in 22 27 32 37; do
      while [ "$(jobs -rp | wc -l)" -ge "${JOBS:-4}" ]; do wait -n; done
      # shellcheck disable=SC2086
      /usr/bin/time -f '%U %S' -o "$work/$clip-$i-$q.time" "$bin" ${sets[$i]} --frames "${FRAMES:-0}" --qp $q \
        --log-level 0 "$src" "$work/$clip-$i-$q.hevc" >"$work/$clip-$i-$q.log" 2>&1 &
    done
  done
  wait
  for f in "$work/$clip"-*.time; do awk '{print $1 + $2}' "$f" >"${f%.time}.cpu"; done
  base_cpu=$(cpu_of "$work/$clip-0-")
  for i in "${!sets[@]}"; do
    cpu=$(cpu_of "$work/$clip-$i-")
    if [ "$i" -eq 0 ]; then
      printf '%-16s %-50s base, CPU %s s\n' "$clip" "${sets[$i]}" "$cpu"
      continue
    fi
    y=$(python3 "$root/tests/tools/bd_rate.py" "$(bd_curve "$work/$clip-0-")" "$(bd_curve "$work/$clip-$i-")")
    yuv=$(python3 "$root/tests/tools/bd_rate.py" "$(yuv_curve "$work/$clip-0-")" "$(yuv_curve "$work/$clip-$i-")")
    printf '%-16s %-50s BD-rate Y %7s%%  YUV %7s%%  CPU %s s (x%s)\n' "$clip" "${sets[$i]}" "$y" "$yuv" "$cpu" \
      "$(awk -v a="$cpu" -v b="$base_cpu" 'BEGIN {printf "%.2f", a / b}')"
  done
done
