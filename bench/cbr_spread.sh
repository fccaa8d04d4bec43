#!/usr/bin/env bash
# Constant bitrate side by side with x265: for each clip and rate, ziravov
# --cbr without and with --vbv-maxrate R --vbv-bufsize R, and x265 with
# --bitrate R --vbv-maxrate R --vbv-bufsize R without and with --strict-cbr.
# Prints the achieved rate against the target, the lowest and highest whole
# second as a multiple of the rate, the lowest fill of a buffer of R kbit
# simulated from the stream's own picture sizes (90% full at the start) and
# the luma PSNR against the source (ffmpeg's psnr filter, the same for both).
# The clips are built in a scratch folder: foreman looped to 300 pictures,
# flower scaled to 352x208 and to 640x360 at 10 pictures a second looped
# to 300, and foreman, bus and foreman again (two scene cuts), 300
# pictures; then the short clips as they are, where the model's start
# decides most of the rate: foreman (60 pictures), bus (17, and looped to
# 60), flower 720p (30) and 40 pictures of the cut clip across its cut from
# foreman to bus.
#
# usage: bench/cbr_spread.sh ZIRAVOV [LEVEL] [THREADS]
#   LEVEL: ziravov's --complexity (default 4); x265 runs its default preset.
#   THREADS: both encoders' threads (default 8).  CLIPS (default
#   ../shared/clips) holds the real clips; ENCODERS (default "ziravov
#   ziravov-vbv x265 x265-strict") the rows to run.  Needs x265, ffmpeg,
#   python3.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
# The encodes run in a scratch folder: a relative path to ziravov is taken
# from where the script was started.
bin=$(realpath "${1:?ziravov}")
level=${2:-4}
threads=${3:-8}
clips=${CLIPS:-$root/../shared/clips}
py=$root/tests/scripts
for tool in x265 ffmpeg python3; do
  command -v $tool >/dev/null || { echo "$tool not found"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

ffmpeg -v error -y -i "$clips/flower_720p_30f.y4m" -vf scale=352:208 -pix_fmt yuv420p flower_s.y4m </dev/null
python3 "$py/cbr_clip.py" foreman300.y4m 30:1 "$clips/foreman_cif_60f.y4m:300"
python3 "$py/cbr_clip.py" flower300.y4m 10:1 flower_s.y4m:300
ffmpeg -v error -y -i "$clips/flower_720p_30f.y4m" -vf scale=640:360 -pix_fmt yuv420p flower_l.y4m </dev/null
python3 "$py/cbr_clip.py" flower640.y4m 10:1 flower_l.y4m:300
python3 "$py/cbr_clip.py" cut300.y4m 30:1 "$clips/foreman_cif_60f.y4m:100" "$clips/bus_cif_17f.y4m:100" \
  "$clips/foreman_cif_60f.y4m:100"
ln -s "$clips/foreman_cif_60f.y4m" foreman60.y4m
ln -s "$clips/bus_cif_17f.y4m" bus17.y4m
python3 "$py/cbr_clip.py" bus60.y4m 30:1 "$clips/bus_cif_17f.y4m:60"
ln -s "$clips/flower_720p_30f.y4m" flower720.y4m
python3 "$py/cbr_clip.py" cut40.y4m 30:1 "$clips/foreman_cif_60f.y4m:20" "$clips/bus_cif_17f.y4m:20"

# Luma PSNR of stream $1 against clip $2 (W H in $3 $4), compared as raw
# samples: ffmpeg takes a C420jpeg header for full range and would convert.
psnr_y() {
  ffmpeg -v error -y -i "$1" -f rawvideo -pix_fmt yuv420p dec.yuv </dev/null
  ffmpeg -v error -y -i "$2" -c:v copy -f rawvideo src.yuv </dev/null
  ffmpeg -v info -f rawvideo -pix_fmt yuv420p -s "$3x$4" -i dec.yuv -f rawvideo -pix_fmt yuv420p -s "$3x$4" -i src.yuv \
    -lavfi psnr -f null - </dev/null 2>&1 | sed -n 's/.*PSNR y:\([0-9.inf]*\) .*/\1/p' | tail -n 1
}

printf '%-10s %5s %-18s %9s %12s %10s %7s\n' clip kbps encoder achieved seconds "low fill" "Y-PSNR"
for clip_rates in foreman300:30:300,500,1000 flower300:10:100,150,300 flower640:10:80,150,300 \
  cut300:30:300,400,800 foreman60:29.97:500,1000 \
  bus17:29.97:1000 bus60:30:500,1000 flower720:30:2000,4000 cut40:30:400; do
  IFS=: read -r clip fps rates <<<"$clip_rates"
  size=$(head -c 100 $clip.y4m | head -n 1 | tr ' ' '\n' | sed -n 's/^[WH]//p' | tr '\n' ' ')
  for kbps in ${rates//,/ }; do
    vbv=(--vbv-maxrate "$kbps" --vbv-bufsize "$kbps")
    for enc in ${ENCODERS:-ziravov ziravov-vbv x265 x265-strict}; do
      case $enc in
      ziravov) "$bin" --cbr --bitrate "$kbps" --complexity "$level" --threads "$threads" $clip.y4m o.hevc ;;
      ziravov-vbv) "$bin" --cbr --bitrate "$kbps" "${vbv[@]}" --complexity "$level" --threads "$threads" $clip.y4m o.hevc ;;
      x265) x265 --input $clip.y4m --bitrate "$kbps" "${vbv[@]}" --pools "$threads" -o o.hevc ;;
      x265-strict) x265 --input $clip.y4m --bitrate "$kbps" "${vbv[@]}" --strict-cbr --pools "$threads" -o o.hevc ;;
      esac >/dev/null 2>&1 </dev/null || { echo "$clip $kbps $enc: encode failed"; continue; }
      read -r _ err lo hi fill _ <<<"$(python3 "$py/cbr_rate.py" o.hevc "$kbps" "$fps" "$kbps")"
      printf '%-10s %5d %-18s %+8.1f%% %7.2f-%4.2fx %10.2f %7.2f\n' "$clip" "$kbps" "$enc" "$err" "$lo" "$hi" "$fill" \
        "$(psnr_y o.hevc $clip.y4m $size)"
    done
  done
done
