#!/usr/bin/env bash
# The complexity ladder in one run: every level 0-7 of ziravov and x265
# --preset ultrafast / medium / slow (--tune psnr), all with --bframes 3,
# key interval 250 and constant QP 22/27/32/37, on foreman CIF (60
# pictures) and flower 720p (30 pictures).  Per clip and encoder it prints
# the Y-PSNR BD-rate against ziravov level 0 (negative: fewer bits for the
# same quality), frames per wall second and per CPU second (user + system)
# summed over the four QPs, and the busy cores.  A real ladder codes better
# at each level than at every lower one and runs faster at each lower one.
# Encodes run one at a time; on a shared machine compare the CPU rates, and
# note the load printed at the start and the end.
# Usage: bench/level_ladder.sh [ziravov] [clips folder] [threads]
# (CLIPS="foreman flower720" picks clips, LEVELS="0 1 2 3 4 5 6 7" the
# levels, PRESETS="ultrafast medium slow" the x265 presets (empty: none),
# FRAMES=n caps the pictures per clip.)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
enc=${1:-$root/build/ziravov}
clips=${2:-$root/../shared/clips}
threads=${3:-8}
which_clips=${CLIPS:-foreman flower720}
levels=${LEVELS:-0 1 2 3 4 5 6 7}
presets=${PRESETS-ultrafast medium slow}
qps="22 27 32 37"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ -x "$enc" ] || { echo "no ziravov at $enc" >&2; exit 2; }
. "$root/bench/encode_lib.sh"
[ -n "$presets" ] && need_x265

row() {
  # row CLIP NAME PREFIX CURVE ANCHOR PICTURES
  local bd
  bd=$(python3 "$root/tests/tools/bd_rate.py" "$5" "$4")
  read -r w c m < <(totals "$3")
  awk -v clip="$1" -v name="$2" -v n="$6" -v w="$w" -v c="$c" -v bd="$bd" 'BEGIN {
    printf "%-10s %-18s %9s%% %8.2f %8.2f %6.2f\n", clip, name, bd, n / w, n / c, c / w }'
}

printf '%s threads; load at start: %s\n' "$threads" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %-18s %10s %8s %8s %6s\n' clip encoder "BD-rate Y" fps cpu-fps cores
for name in $which_clips; do
  read -r src frames < <(clip_file "$name") || { echo "$name: unknown clip" >&2; exit 2; }
  [ -f "$src" ] || { echo "$name: missing $src, skipped"; continue; }
  [ -n "${FRAMES:-}" ] && [ "$FRAMES" -lt "$frames" ] && frames=$FRAMES
  declare -A curve=()
  for lv in $levels; do
    curve[$lv]=""
    for q in $qps; do
      z="$work/$name-z$lv-$q"
      timed "$z" "$enc" --complexity "$lv" --bframes 3 --keyint 250 --qp "$q" --threads "$threads" \
        --frames "$frames" --log-level 0 "$src" "$z.hevc"
      curve[$lv]+="$(zv_point "$z") "
    done
  done
  anchor=${curve[$(echo "$levels" | cut -d' ' -f1)]}
  for lv in $levels; do row "$name" "ziravov level $lv" "$work/$name-z$lv-" "${curve[$lv]}" "$anchor" $((frames * 4)); done
  for pr in $presets; do
    xc=""
    for q in $qps; do
      x="$work/$name-x$pr-$q"
      timed "$x" x265 --input "$src" --frames "$frames" --preset "$pr" --tune psnr --bframes 3 --keyint 250 \
        --qp "$q" --pools "$threads" --psnr --csv "$x.csv" --csv-log-level 0 -o "$x.hevc"
      xc+="$(x265_point "$x") "
    done
    row "$name" "x265 $pr" "$work/$name-x$pr-" "$xc" "$anchor" $((frames * 4))
  done
  unset curve
done
printf 'load at end: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
