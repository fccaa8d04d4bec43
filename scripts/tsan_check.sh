#!/usr/bin/env bash
# Encodes short clips on 4 worker threads under ThreadSanitizer; any report
# of a data race fails.  Usage: tsan_check.sh <ziravov built with TSan>
set -euo pipefail
enc=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
ffmpeg -v error -y -f lavfi -i testsrc2=size=200x136:rate=25 -frames:v 9 -pix_fmt yuv420p "$dir/clip.y4m"
export TSAN_OPTIONS="halt_on_error=1 exitcode=66"
for args in "--bframes 0" "--bframes 3" "--bframes 3 --no-wpp" "--random-decisions 5 --bframes 2 --open-gop --keyint 4" \
            "--keyint 1 --no-sao --qp 27" "--bframes 3 --subpel-planes 2" \
            "--bitrate 300 --vbv-maxrate 300 --vbv-bufsize 150 --aq-mode 1 --bframes 3" "--crf 28 --aq-mode 2" \
            "--bitrate 300 --vbv-maxrate 300 --vbv-bufsize 150 --bframes 0"; do
  # shellcheck disable=SC2086
  "$enc" --log-level 0 --threads 4 $args "$dir/clip.y4m" "$dir/out.hevc" >/dev/null
  echo "tsan clean: --threads 4 $args"
done
# A picture seven CTUs wide at complexity 0 (the shorter vector reach) lets
# predicted pictures start CTUs while their reference's row below is still
# being coded: the reference's rows are read only as far as they are final.
ffmpeg -v error -y -f lavfi -i testsrc2=size=448x200:rate=25 -frames:v 12 -pix_fmt yuv420p "$dir/wide.y4m"
# Under VBV the rows also read their references' row QPs while those are
# still being coded.
for args in "--complexity 0 --bframes 0" "--complexity 0 --bframes 2 --no-sao" "--complexity 0 --random-decisions 3" \
            "--complexity 0 --bframes 0 --bitrate 300 --vbv-maxrate 300 --vbv-bufsize 150" \
            "--complexity 0 --bframes 2 --cbr --bitrate 300 --vbv-maxrate 300 --vbv-bufsize 300"; do
  # shellcheck disable=SC2086
  "$enc" --log-level 0 --threads 4 $args "$dir/wide.y4m" "$dir/out.hevc" >/dev/null
  echo "tsan clean: --threads 4 $args (448x200)"
done
# Content that moves about 110 samples a picture, one way and back: vectors
# run up to the limits, so pictures read their references' rows, columns
# and the margins above and left right where they become final; a read
# that comes too early races with the writes that finish them.
for motion in "110*n:112*n" "1700-110*n:1900-112*n"; do
  ffmpeg -v error -y -f lavfi -i testsrc2=size=2400x2400:rate=25 -frames:v 8 \
    -vf "crop=640:384:'${motion%%:*}':'${motion##*:}'" -pix_fmt yuv420p "$dir/scroll.y4m"
  for level in 0 4; do
    "$enc" --log-level 0 --threads 4 --complexity $level --bframes 0 "$dir/scroll.y4m" "$dir/out.hevc" >/dev/null
    echo "tsan clean: --threads 4 --complexity $level --bframes 0 (640x384, moving $motion)"
  done
done
# Two threads fill their 6 frame contexts within the clip: the type decisions
# (with their cost jobs and the starts behind them) then run on the lookahead
# pool while the caller waits for the oldest coded picture.
args="--threads 2 --bframes 1 --rc-lookahead 2 --aq-mode 1 --aq-strength 0"
# shellcheck disable=SC2086
"$enc" --log-level 0 $args "$dir/clip.y4m" "$dir/out.hevc" >/dev/null
echo "tsan clean: $args"
