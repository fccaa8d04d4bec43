#!/usr/bin/env bash
# BD-rate of one encoder setting against another over QP 22/27/32/37, on
# luma PSNR, on the 6:1:1 weighted YUV PSNR and on luma SSIM in dB
# (ffmpeg's ssim filter against the source).  Negative: the new side needs
# fewer bits.
# usage: bench/rate_control_bd.sh OLD-ZIRAVOV NEW-ZIRAVOV "OLD ARGS" "NEW ARGS" CLIP[:FRAMES][@K1,K2,K3,K4]...
#   (no FRAMES: the whole clip; @K1..K4: four average bitrates in kbit/s
#   instead of the four QPs)
#   e.g. bench/rate_control_bd.sh old/ziravov new/ziravov "" "" foreman_cif_60f flower_720p_30f
#        bench/rate_control_bd.sh z z "--aq-mode 0" "--aq-mode 1" foreman_cif_60f
#        bench/rate_control_bd.sh z z "--no-cutree" "" foreman_cif_60f@200,400,800,1600
# Also prints each side's CPU time (user + sys) summed over its encodes.
# CLIPS (default ../shared/clips) holds the clips; JOBS encodes run at once.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
old=${1:?old ziravov}
new=${2:?new ziravov}
old_args=${3-}
new_args=${4-}
shift 4
clips=${CLIPS:-$root/../shared/clips}
jobs=${JOBS:-4}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

points="22 27 32 37"
point_opt=--qp

# curve SIDE CLIP FIELD: "kbps,quality " over the four points from the logs.
curve() {
  local q
  for q in $points; do
    awk -v f="$3" '$1 == "rd" { printf "%s,%s ", $2, $(f) }' "$work/$2-$1-$q.rd"
  done
}

encode_one() {  # side bin args clip frames qp
  local side=$1 bin=$2 args=$3 clip=$4 frames=$5 q=$6 base
  base="$work/$clip-$side-$q"
  # shellcheck disable=SC2086
  /usr/bin/time -o "$base.time" -f "%U %S" "$bin" $args $point_opt "$q" --frames "$frames" --threads 2 \
    --log-level 0 --recon "$base.yuv" "$clips/$clip.y4m" "$base.hevc" >"$base.log" 2>&1 ||
    { echo "encode failed: $base" >&2; return 1; }
  local kbps y u v ssim size
  kbps=$(sed -n 's/^encoded .*), \([0-9.]*\) kb\/s.*/\1/p' "$base.log")
  read -r y u v < <(sed -n 's/^PSNR y:\([0-9.]*\) u:\([0-9.]*\) v:\([0-9.]*\).*/\1 \2 \3/p' "$base.log")
  size=$(head -c 200 "$clips/$clip.y4m" | head -n 1 | tr ' ' '\n' | sed -n 's/^W\([0-9]*\)$/\1/p; s/^H\([0-9]*\)$/\1/p' |
    tr '\n' 'x' | sed 's/x$//')
  local limit=()
  [ "$frames" -gt 0 ] && limit=(-frames:v "$frames")
  # Both sides raw: a full-range (C420jpeg) clip read as such would be
  # converted to limited range before the comparison.
  ssim=$(ffmpeg -nostdin -v info -f rawvideo -pix_fmt yuv420p -s "$size" -i "$work/$clip.src.yuv" \
    -f rawvideo -pix_fmt yuv420p -s "$size" -i "$base.yuv" "${limit[@]}" -lavfi "[0:v][1:v]ssim" -f null - 2>&1 | sed -n 's/.*SSIM Y:\([0-9.]*\).*/\1/p' | tail -n 1)
  awk -v k="$kbps" -v y="$y" -v u="$u" -v v="$v" -v s="$ssim" \
    'BEGIN { printf "rd %s %s %.4f %.4f\n", k, y, (6 * y + u + v) / 8, -10 * log(1 - s) / log(10) }' >"$base.rd"
  rm -f "$base.yuv"
}

for clip_points in "$@"; do
  points="22 27 32 37"
  point_opt=--qp
  if [ "${clip_points#*@}" != "$clip_points" ]; then
    points=$(echo "${clip_points#*@}" | tr ',' ' ')
    point_opt=--bitrate
    clip_points=${clip_points%@*}
  fi
  clip=${clip_points%%:*}
  frames=${clip_points#*:}
  [ "$frames" = "$clip_points" ] && frames=0
  [ -f "$clips/$clip.y4m" ] || { echo "missing $clips/$clip.y4m" >&2; exit 1; }
  ffmpeg -nostdin -v error -y -i "$clips/$clip.y4m" -c:v copy -f rawvideo "$work/$clip.src.yuv"
  for q in $points; do
    for side in old new; do
      bin=$old args=$old_args
      [ $side = new ] && bin=$new args=$new_args
      encode_one $side "$bin" "$args" "$clip" "$frames" $q &
      while [ "$(jobs -r | wc -l)" -ge "$jobs" ]; do wait -n; done
    done
  done
  wait
  bd_y=$(python3 "$root/tests/tools/bd_rate.py" "$(curve old "$clip" 3)" "$(curve new "$clip" 3)")
  bd_yuv=$(python3 "$root/tests/tools/bd_rate.py" "$(curve old "$clip" 4)" "$(curve new "$clip" 4)")
  bd_ssim=$(python3 "$root/tests/tools/bd_rate.py" "$(curve old "$clip" 5)" "$(curve new "$clip" 5)")
  printf '%-18s BD-rate Y-PSNR %s%%, YUV-PSNR %s%%, Y-SSIM %s%%\n' "$clip" "$bd_y" "$bd_yuv" "$bd_ssim"
  for side in old new; do
    printf '  %s:' $side
    for q in $points; do awk '{ printf " %s kb/s %s dB %s dB-ssim;", $2, $3, $5 }' "$work/$clip-$side-$q.rd"; done
    printf ' CPU %s s\n' "$(cat "$work/$clip-$side-"*.time | awk '{ s += $1 + $2 } END { printf "%.1f", s }')"
  done
done
