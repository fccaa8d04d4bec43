#!/usr/bin/env bash
# Rate-distortion of one build against another at one complexity level:
# foreman and carphone at QP 22/27/32/37 with the default picture structure,
# BD-rate of the new build against the old on luma PSNR and on the 6:1:1
# weighted YUV PSNR (negative: better).
# usage: bench/compare_bd.sh old-ziravov new-ziravov [complexity] [frames] [clips dir]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
old=${1:?old ziravov}
new=${2:?new ziravov}
level=${3:-4}
frames=${4:-30}
clips=${5:-$root/../shared/clips}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/tests/scripts/bd_curve.sh"
# yuv_curve PREFIX: as bd_curve with PSNR (6 Y + U + V) / 8.
yuv_curve() {
  local q r p
  for q in 22 27 32 37; do
    r=$(sed -n 's/^encoded .*), \([0-9.]*\) kb\/s.*/\1/p' "$1$q.log")
    p=$(sed -n 's/^PSNR y:\([0-9.]*\) u:\([0-9.]*\) v:\([0-9.]*\).*/\1 \2 \3/p' "$1$q.log" |
      awk '{printf "%.4f", (6 * $1 + $2 + $3) / 8}')
    [ -n "$r" ] && [ -n "$p" ] || { echo "no report in $1$q.log" >&2; return 1; }
    printf '%s,%s ' "$r" "$p"
  done
}
for clip in foreman_cif_60f carphone_qcif; do
  src="$clips/$clip.y4m"
  [ -f "$src" ] || { echo "missing $src" >&2; exit 1; }
  for q in 22 27 32 37; do
    for side in old new; do
      bin=$old
      [ $side = new ] && bin=$new
      "$bin" --complexity "$level" --frames "$frames" --threads 1 --qp $q --log-level 0 \
        "$src" "$work/$side-$q.hevc" >"$work/$clip-$side-$q.log" 2>&1 &
    done
  done
  wait
  bd=$(python3 "$root/tests/tools/bd_rate.py" "$(bd_curve "$work/$clip-old-")" "$(bd_curve "$work/$clip-new-")")
  yuv=$(python3 "$root/tests/tools/bd_rate.py" "$(yuv_curve "$work/$clip-old-")" "$(yuv_curve "$work/$clip-new-")")
  printf '%-16s level %s: BD-rate Y %s%%, YUV %s%%\n' "$clip" "$level" "$bd" "$yuv"
done
