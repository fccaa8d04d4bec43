#!/usr/bin/env bash
# ziravov against x265 under a VBV buffer, on the cases a streaming user
# meets: flower at 10 pictures a second (640x360, forwards and backwards, 300
# pictures), average bitrate at two rates and a rate factor capped by the
# buffer, with buffers of half a second and one second; two passes under a
# half-second buffer; two zero-latency passes over foreman, bus and foreman
# backwards (cuts at 60 and 77); 40 pictures of foreman and bus (a cut at 20)
# with default settings and a one-second buffer.  Each row gives, per
# encoder, the achieved rate against the target, the lowest buffer fill (as
# a fraction of the buffer, followed from the stream's own pictures in
# decoding order from 0.9 of it), the pictures that took it below empty and
# the Y-PSNR against the source (ffmpeg's psnr filter).  ziravov at --complexity
# 4 against x265 --preset medium, both with --bframes 3 on flower; then
# flower without B pictures (--bframes 0: average bitrate 400 and the capped
# rate factor, half a second and a second).  CASES=nob: only those.
# Usage: bench/vbv_compare.sh [ziravov] [clips folder] [threads]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
enc=${1:-$root/build/ziravov}
clips=${2:-$root/../shared/clips}
threads=${3:-8}
level=${LEVEL:-4}
preset=${PRESET:-medium}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -x "$enc" ] || { echo "no ziravov at $enc" >&2; exit 2; }
command -v x265 >/dev/null || { echo "no x265" >&2; exit 2; }
check=$root/tests/scripts/vbv_buffer.py

ffmpeg -nostdin -v error -y -i "$clips/flower_720p_30f.y4m" -filter_complex \
  "[0:v]scale=640:360,split=2[a][b];[b]reverse[r];[a][r]concat=n=2:v=1,loop=loop=4:size=60:start=0,setpts=N/(10*TB)[v]" \
  -map "[v]" -r 10 -frames:v 300 -f yuv4mpegpipe "$work/flower.y4m"
ffmpeg -nostdin -v error -y -i "$clips/foreman_cif_60f.y4m" -i "$clips/bus_cif_17f.y4m" -filter_complex \
  "[0:v]split=2[f1][f2];[f2]reverse[r];[1:v]setpts=PTS-STARTPTS[b];[f1][b][r]concat=n=3:v=1[v]" \
  -map "[v]" -f yuv4mpegpipe "$work/cut.y4m"
ffmpeg -nostdin -v error -y -i "$clips/foreman_cif_60f.y4m" -i "$clips/bus_cif_17f.y4m" -filter_complex \
  "[0:v]trim=end_frame=20,setpts=PTS-STARTPTS[a];[1:v]split=2[b1][b2];[b2]reverse[br];[b1][br]concat=n=2:v=1,trim=end_frame=20,setpts=PTS-STARTPTS[b];[a][b]concat=n=2:v=1[v]" \
  -map "[v]" -f yuv4mpegpipe "$work/cut40.y4m"

psnr() {
  ffmpeg -nostdin -i "$1" -i "$2" -lavfi "[0:v][1:v]psnr" -f null - 2>&1 | sed -n 's/.*PSNR y:\([0-9.inf]*\).*/\1/p' | tail -n 1
}
# row LABEL SRC FPS TARGET MAXRATE BUFSIZE STREAM: "rate/target lowest under psnr"
cells() {
  local line
  line=$(python3 "$check" "$7" "$5" "$6" "$3")
  local kbps lowest under
  kbps=$(echo "$line" | sed 's/.*kbps=\([0-9.]*\).*/\1/')
  lowest=$(echo "$line" | sed 's/.*lowest=\([-0-9.]*\).*/\1/')
  under=$(echo "$line" | sed 's/.*under=\([0-9]*\).*/\1/')
  printf '%+6.1f%% %7.3f %4d %6.2f' "$(awk -v k="$kbps" -v t="$4" 'BEGIN { print 100 * (k / t - 1) }')" "$lowest" "$under" \
    "$(psnr "$7" "$2")"
}
# case LABEL SRC FPS TARGET MAXRATE BUFSIZE PASSES "ZIRAVOV ARGS" "X265 ARGS"
run_case() {
  local label=$1 src=$2 fps=$3 target=$4 max=$5 size=$6 passes=$7 zargs=$8 xargs=$9
  local vz="--vbv-maxrate $max --vbv-bufsize $size" vx="--vbv-maxrate $max --vbv-bufsize $size"
  # shellcheck disable=SC2086
  if [ "$passes" = 2 ]; then
    "$enc" --pass 1 --stats "$work/z.stats" $zargs $vz --threads "$threads" "$src" "$work/z1.hevc" >/dev/null 2>&1
    "$enc" --pass 2 --stats "$work/z.stats" $zargs $vz --threads "$threads" "$src" "$work/z.hevc" >/dev/null 2>&1
    x265 --pass 1 --stats "$work/x.stats" $xargs $vx --frame-threads 0 --log-level error "$src" -o "$work/x1.hevc" 2>/dev/null
    x265 --pass 2 --stats "$work/x.stats" $xargs $vx --frame-threads 0 --log-level error "$src" -o "$work/x.hevc" 2>/dev/null
  else
    "$enc" $zargs $vz --threads "$threads" "$src" "$work/z.hevc" >/dev/null 2>&1
    x265 $xargs $vx --log-level error "$src" -o "$work/x.hevc" 2>/dev/null
  fi
  printf '%-34s | %s | %s\n' "$label" "$(cells "$label" "$src" "$fps" "$target" "$max" "$size" "$work/z.hevc")" \
    "$(cells "$label" "$src" "$fps" "$target" "$max" "$size" "$work/x.hevc")"
}

printf 'ziravov --complexity %s, %s threads; x265 --preset %s; load at start: %s\n' "$level" "$threads" "$preset" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-34s | %-29s | %-29s\n' case "ziravov: rate lowest under Y-dB" "x265: rate lowest under Y-dB"
zl="--complexity $level" xl="--preset $preset"
for s in 200 400; do
  run_case "flower no B, ABR 400 in 400 x $s" "$work/flower.y4m" 10 400 400 "$s" 1 "$zl --bframes 0 --bitrate 400" \
    "$xl --bframes 0 --bitrate 400"
  run_case "flower no B, CRF 14 capped 400 x $s" "$work/flower.y4m" 10 400 400 "$s" 1 "$zl --bframes 0 --crf 14" \
    "$xl --bframes 0 --crf 14"
done
[ "${CASES:-all}" = nob ] && exit 0
for c in "400 200" "400 400" "800 400" "800 800"; do
  read -r k s <<<"$c"
  run_case "flower ABR $k in $k x $s" "$work/flower.y4m" 10 "$k" "$k" "$s" 1 "$zl --bframes 3 --bitrate $k" \
    "$xl --bframes 3 --bitrate $k"
done
for s in 200 400; do
  run_case "flower CRF 14 capped 400 x $s" "$work/flower.y4m" 10 400 400 "$s" 1 "$zl --bframes 3 --crf 14" \
    "$xl --bframes 3 --crf 14"
done
run_case "flower 2 passes 300 in 400 x 200" "$work/flower.y4m" 10 300 400 200 2 "$zl --bframes 3 --bitrate 300" \
  "$xl --bframes 3 --bitrate 300"
run_case "cut zerolat 2 passes 300 in 400x200" "$work/cut.y4m" 29.97 300 400 200 2 "$zl --tune zerolatency --bitrate 300" \
  "$xl --tune zerolatency --bitrate 300"
run_case "cut at 20, defaults, 300 x 300" "$work/cut40.y4m" 29.97 300 300 300 1 "" "--log-level error"
