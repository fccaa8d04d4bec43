#!/usr/bin/env bash
# ziravov against x265 on the same run: complexity 0 / 4 / 7 against
# --preset ultrafast / medium / slow (--tune psnr), both with --bframes 3 and
# key interval 250, constant QP 22/27/32/37, on foreman CIF (60 pictures),
# flower 720p (30 pictures) and flower upscaled to 1080p (30 pictures).
# Per clip and level it prints, summed over the four QPs: frames per wall
# second, frames per CPU second (user + system), busy cores (CPU / wall),
# peak resident size, and the Y-PSNR BD-rate of the level against its preset
# (negative: ziravov needs fewer bits).  Encodes run one at a time, so the
# machine's other load is what each one competes with; on a shared machine
# take the ratios, not the absolute numbers.
# Usage: bench/x265_compare.sh [ziravov] [clips folder] [threads]
# (CLIPS="foreman flower720 flower1080" picks clips, QPS="22 27 32 37" the
# points, FRAMES=n caps the pictures per clip; x265 is installed from the Debian archive when missing.)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
enc=${1:-$root/build/ziravov}
clips=${2:-$root/../shared/clips}
threads=${3:-8}
which_clips=${CLIPS:-foreman flower720 flower1080}
qps=${QPS:-22 27 32 37}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ -x "$enc" ] || { echo "no ziravov at $enc" >&2; exit 2; }
. "$root/bench/encode_lib.sh"
need_x265
[ "$(echo "$qps" | wc -w)" -eq 4 ] || { echo "QPS needs four values for the BD-rate" >&2; exit 2; }

levels=(0 4 7)
presets=(ultrafast medium slow)
printf '%s threads; machine load at start: %s\n' "$threads" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %-14s %8s %8s %6s %8s | %-9s %8s %8s %6s %8s | %9s\n' clip ziravov "fps" "cpu-fps" cores "RSS MB" x265 \
  "fps" "cpu-fps" cores "RSS MB" "BD-rate Y"
for name in $which_clips; do
  read -r src frames < <(clip_file "$name") || { echo "$name: unknown clip" >&2; exit 2; }
  [ -f "$src" ] || { echo "$name: missing $src, skipped"; continue; }
  [ -n "${FRAMES:-}" ] && [ "$FRAMES" -lt "$frames" ] && frames=$FRAMES
  for i in 0 1 2; do
    lv=${levels[$i]} pr=${presets[$i]}
    zc="" xc=""
    for q in $qps; do
      z="$work/$name-z$lv-$q" x="$work/$name-x$lv-$q"
      timed "$z" "$enc" --complexity "$lv" --bframes 3 --keyint 250 --qp "$q" --threads "$threads" \
        --frames "$frames" --log-level 0 "$src" "$z.hevc"
      timed "$x" x265 --input "$src" --frames "$frames" --preset "$pr" --tune psnr --bframes 3 --keyint 250 \
        --qp "$q" --pools "$threads" --psnr --csv "$x.csv" --csv-log-level 0 -o "$x.hevc"
      zc+="$(zv_point "$z") "
      xc+="$(x265_point "$x") "
    done
    read -r zw zcpu zm < <(totals "$work/$name-z$lv-")
    read -r xw xcpu xm < <(totals "$work/$name-x$lv-")
    n=$((frames * 4))
    bd=$(python3 "$root/tests/tools/bd_rate.py" "$xc" "$zc")
    awk -v c="$name" -v l="level $lv" -v p="$pr" -v n="$n" -v zw="$zw" -v zc="$zcpu" -v zm="$zm" \
      -v xw="$xw" -v xc="$xcpu" -v xm="$xm" -v bd="$bd" 'BEGIN {
        printf "%-10s %-14s %8.2f %8.2f %6.2f %8.0f | %-9s %8.2f %8.2f %6.2f %8.0f | %8s%%\n",
          c, l, n / zw, n / zc, zc / zw, zm / 1024, p, n / xw, n / xc, xc / xw, xm / 1024, bd }'
  done
done
