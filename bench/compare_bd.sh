#!/usr/bin/env bash
# Rate-distortion of one build against another at one complexity level:
# foreman and carphone (or the clips named in BD_CLIPS, e.g.
# "foreman_cif_60f carphone_qcif flower_720p_30f") at QP 22/27/32/37 with the
# default picture structure,
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
for clip in ${BD_CLIPS:-foreman_cif_60f carphone_qcif}; do
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
