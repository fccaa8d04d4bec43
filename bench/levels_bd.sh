#!/usr/bin/env bash
# Rate-distortion and CPU time of one build against another at several
# complexity levels on the default picture structure with P and B pictures:
# per level and clip the BD-rate of the new build against the old on luma
# PSNR (negative: better) and the ratio of their CPU times (user + system,
# summed over QP 22/27/32/37; below 1: the new build is faster).  Both builds
# run in the same batch, one thread per encode, so loads hit both alike.
# usage: bench/levels_bd.sh old-ziravov new-ziravov [levels] [frames] [clips dir]
#   BD_CLIPS (default "foreman_cif_60f flower_720p_30f"), BD_OPTS (default
#   "--bframes 3"), BD_JOBS (parallel encodes, default 4).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
old=${1:?old ziravov}
new=${2:?new ziravov}
levels=${3:-0 1 2 3 4}
frames=${4:-30}
clips=${5:-$root/../shared/clips}
jobs=${BD_JOBS:-4}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/tests/scripts/bd_curve.sh"
encode() {  # side level clip q
  local bin=$old
  [ "$1" = new ] && bin=$new
  local tag="$work/$3-$2-$1-"
  /usr/bin/time -f "%U %S" -o "$tag$4.time" "$bin" --complexity "$2" --frames "$frames" --threads 1 --qp "$4" \
    ${BD_OPTS:---bframes 3} --log-level 0 "$clips/$3.y4m" "$tag$4.hevc" >"$tag$4.log" 2>&1
}
export -f encode
export old new frames clips work BD_OPTS
for clip in ${BD_CLIPS:-foreman_cif_60f flower_720p_30f}; do
  [ -f "$clips/$clip.y4m" ] || { echo "missing $clips/$clip.y4m" >&2; exit 1; }
  for level in $levels; do
    for q in 22 27 32 37; do
      for side in old new; do echo "$side $level $clip $q"; done
    done
  done
done | xargs -P "$jobs" -L 1 bash -c 'encode "$@"' _
cpu() { cat "$1"*.time | awk '{s += $1 + $2} END {printf "%.1f", s}'; }
printf '%-16s %-6s %12s %10s %10s %8s\n' clip level "BD-rate Y%" "old cpu s" "new cpu s" "new/old"
for clip in ${BD_CLIPS:-foreman_cif_60f flower_720p_30f}; do
  for level in $levels; do
    bd=$(python3 "$root/tests/tools/bd_rate.py" "$(bd_curve "$work/$clip-$level-old-")" \
      "$(bd_curve "$work/$clip-$level-new-")")
    a=$(cpu "$work/$clip-$level-old-")
    b=$(cpu "$work/$clip-$level-new-")
    printf '%-16s %-6s %12s %10s %10s %8s\n' "$clip" "$level" "$bd" "$a" "$b" \
      "$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.2f", b / a}')"
  done
done
