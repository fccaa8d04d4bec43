#!/usr/bin/env bash
# What the CU-tree gains, ours against x265's, and what a plain run gains
# against the former default.  Each side is swept over four points; a row
# is the BD-rate of its test side against its reference side on Y-PSNR and
# on luma SSIM in dB (ffmpeg's ssim filter on the decoded stream against the
# source; negative: the test side needs fewer bits).  Rows:
#   crf        ziravov --crf (AQ 2 at the default strength) vs --no-cutree
#   crf-aq0    the same with --aq-strength 0 (the CU-tree's offsets alone)
#   lqp        ziravov --lqp --aq-mode 2 vs --no-cutree: the picture QPs of
#              constant QP with the rate-controlled multipliers
#   qp         ziravov --qp --aq-mode 2 vs --no-cutree (nothing raises the QP)
#   mult       ziravov --lqp vs --qp, both --aq-mode 0: the rate-controlled
#              multipliers against those of constant QP by picture class
#   x265       x265 --crf (its defaults) vs --no-cutree
#   x265-aq0   x265 --crf --aq-mode 0 vs --no-cutree
#   new-old    a plain run (factors 18/23/28/33) against the former default
#              (--qp 22/27/32/37 --aq-mode 0); also the plain run's Y-PSNR
#              against the former curve at the same rate (log-rate linear
#              between its points, QP 17 and 19 added for the clips at 10
#              pictures a second; "-" outside them) and the CPU seconds of
#              the plain run against --qp 27 --aq-mode 0
#   vs-x265    ziravov --crf against x265 --crf, both 22/27/32/37
# The clips are made in a scratch folder, never kept: foreman (60 pictures),
# foreman run forwards and back to 300, carphone declared at 10 pictures a
# second and run forwards and back to 300, flower scaled to 640x360 at 10
# pictures a second forwards and back to 300, flower 720p forwards and back
# to 150, bus (17) and flower 720p (30).  ROWS and CLIPS pick subsets; JOBS
# encodes run at once, each with THREADS threads (default 2; ziravov's CRF
# and constant-QP streams do not depend on it, its CPU seconds barely).
# usage: bench/cutree_gain.sh [ziravov] [clips folder]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
enc=${1:-$root/build/ziravov}
clips=${2:-$root/../shared/clips}
jobs=${JOBS:-4}
threads=${THREADS:-2}
rows=${ROWS:-crf crf-aq0 lqp qp mult x265 x265-aq0 new-old vs-x265}
which=${CLIPS:-foreman60 foreman300 carphone10 flower10 flower150}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/bench/encode_lib.sh"
need_x265

make_clip() {
  local loop="python3 $root/tests/scripts/cbr_clip.py $work/$1.y4m"
  case $1 in
    foreman60) cp "$clips/foreman_cif_60f.y4m" "$work/$1.y4m" ;;
    bus17) cp "$clips/bus_cif_17f.y4m" "$work/$1.y4m" ;;
    flower30) cp "$clips/flower_720p_30f.y4m" "$work/$1.y4m" ;;
    foreman300) $loop 30000:1001 "$clips/foreman_cif_60f.y4m:300" ;;
    carphone10) $loop 10:1 "$clips/carphone_qcif.y4m:300" ;;
    flower150) $loop 30:1 "$clips/flower_720p_30f.y4m:150" ;;
    flower10)
      ffmpeg -nostdin -v error -y -i "$clips/flower_720p_30f.y4m" -vf scale=640:360 -pix_fmt yuv420p "$work/f360.y4m" &&
        $loop 10:1 "$work/f360.y4m:300" && rm -f "$work/f360.y4m"
      ;;
    *) echo "unknown clip $1" >&2; return 1 ;;
  esac
}

# side NAME: "encoder|options|point option|points".
side() {
  local p="22 27 32 37"
  case $1 in
    z-crf) echo "z||--crf|$p" ;;
    z-crf-nocu) echo "z|--no-cutree|--crf|$p" ;;
    z-crf-aq0) echo "z|--aq-strength 0|--crf|$p" ;;
    z-crf-aq0-nocu) echo "z|--aq-strength 0 --no-cutree|--crf|$p" ;;
    z-plain) echo "z||--crf|18 23 28 33" ;;
    z-lqp) echo "z|--lqp --aq-mode 2|--qp|$p" ;;
    z-lqp-nocu) echo "z|--lqp --aq-mode 2 --no-cutree|--qp|$p" ;;
    z-lqp-aq0) echo "z|--lqp --aq-mode 0|--qp|$p" ;;
    z-qp) echo "z|--aq-mode 2|--qp|$p" ;;
    z-qp-nocu) echo "z|--aq-mode 2 --no-cutree|--qp|$p" ;;
    z-old) echo "z|--aq-mode 0|--qp|$p" ;;
    z-old-low) echo "z|--aq-mode 0|--qp|17 19" ;;
    x-crf) echo "x||--crf|$p" ;;
    x-crf-nocu) echo "x|--no-cutree|--crf|$p" ;;
    x-aq0) echo "x|--aq-mode 0|--crf|$p" ;;
    x-aq0-nocu) echo "x|--aq-mode 0 --no-cutree|--crf|$p" ;;
    *) return 1 ;;
  esac
}
# row NAME: "reference side, test side".
row_sides() {
  case $1 in
    crf) echo "z-crf-nocu z-crf" ;;
    crf-aq0) echo "z-crf-aq0-nocu z-crf-aq0" ;;
    lqp) echo "z-lqp-nocu z-lqp" ;;
    qp) echo "z-qp-nocu z-qp" ;;
    mult) echo "z-old z-lqp-aq0" ;;
    x265) echo "x-crf-nocu x-crf" ;;
    x265-aq0) echo "x-aq0-nocu x-aq0" ;;
    new-old) echo "z-old z-plain" ;;
    vs-x265) echo "x-crf z-crf" ;;
    *) return 1 ;;
  esac
}

# encode CLIP SIDE POINT: leaves "kbps psnr_y ssim_db" in the point's .pt
# and "user+sys seconds" in its .cpu.
encode() {
  local clip=$1 s=$2 q=$3 e a o pts base size
  IFS='|' read -r e a o pts < <(side "$s")
  base="$work/$clip-$s-$q"
  if [ "$e" = z ]; then
    # shellcheck disable=SC2086
    timed "$base" "$enc" $a $o "$q" --threads "$threads" --log-level 0 "$work/$clip.y4m" "$base.hevc" || return 1
    IFS=, read -r rate psnr < <(zv_point "$base")
  else
    # shellcheck disable=SC2086
    timed "$base" x265 --input "$work/$clip.y4m" $a $o "$q" --pools "$threads" --psnr --csv "$base.csv" \
      --csv-log-level 0 -o "$base.hevc" || return 1
    IFS=, read -r rate psnr < <(x265_point "$base")
  fi
  size=$(head -n 1 "$work/$clip.y4m" | tr ' ' '\n' | sed -n 's/^W//p; s/^H//p' | paste -sd x)
  ffmpeg -nostdin -v error -y -i "$base.hevc" -f rawvideo -pix_fmt yuv420p "$base.yuv" || return 1
  # Both sides raw: a clip marked full-range would be converted first.
  ssim=$(ffmpeg -nostdin -v info -f rawvideo -pix_fmt yuv420p -s "$size" -i "$work/$clip.yuv" \
    -f rawvideo -pix_fmt yuv420p -s "$size" -i "$base.yuv" -lavfi "[0:v][1:v]ssim" -f null - 2>&1 |
    sed -n 's/.*SSIM Y:\([0-9.]*\).*/\1/p' | tail -n 1)
  awk -v r="$rate" -v p="$psnr" -v s="$ssim" 'BEGIN { printf "%s %s %.4f\n", r, p, -10 * log(1 - s) / log(10) }' \
    >"$base.pt"
  awk '{ printf "%.2f\n", $2 + $3 }' "$base.time" >"$base.cpu"
  rm -f "$base.hevc" "$base.yuv"
}

# curve CLIP SIDE FIELD: "kbps,quality " over the side's points.
curve() {
  local q pts
  pts=$(side "$2" | cut -d'|' -f4)
  for q in $pts; do awk -v f="$3" '{ printf "%s,%s ", $1, $(f) }' "$work/$1-$2-$q.pt"; done
}

# psnr_at CURVE RATE: the curve's Y-PSNR at a rate, log-rate linear between
# the points around it, "-" outside them.
psnr_at() {
  echo "$1" | tr ' ' '\n' | sed '/^$/d' | tr ',' ' ' | sort -g | awk -v r="$2" '
    { x[NR] = log($1); y[NR] = $2 }
    END { for (i = 1; i < NR; i++) if (log(r) >= x[i] && log(r) <= x[i + 1]) {
            printf "%.2f", y[i] + (log(r) - x[i]) / (x[i + 1] - x[i]) * (y[i + 1] - y[i]); exit }
          printf "-" }'
}

printf 'machine load at start: %s; %s threads per encode\n' "$(cut -d' ' -f1-3 /proc/loadavg)" "$threads"
printf '%-11s %-9s %9s %9s   %s\n' clip row "BD Y-PSNR" "BD SSIM" "reference -> test (kb/s, Y-PSNR)"
for clip in $which; do
  make_clip "$clip" || exit 2
  ffmpeg -nostdin -v error -y -i "$work/$clip.y4m" -c:v copy -f rawvideo "$work/$clip.yuv" || exit 2
  sides=""
  for r in $rows; do sides+=" $(row_sides "$r")" || { echo "unknown row $r" >&2; exit 2; }; done
  # A plain run at a low frame rate codes above the former curve's top.
  case " $rows " in *" new-old "*) sides+=" z-old-low" ;; esac
  for s in $(echo "$sides" | tr ' ' '\n' | sort -u); do
    for q in $(side "$s" | cut -d'|' -f4); do
      encode "$clip" "$s" "$q" &
      while [ "$(jobs -r | wc -l)" -ge "$jobs" ]; do wait -n; done
    done
  done
  wait
  for r in $rows; do
    read -r ref test < <(row_sides "$r")
    rc=$(curve "$clip" "$ref" 2)
    tc=$(curve "$clip" "$test" 2)
    bd=$(python3 "$root/tests/tools/bd_rate.py" "$rc" "$tc")
    bds=$(python3 "$root/tests/tools/bd_rate.py" "$(curve "$clip" "$ref" 3)" "$(curve "$clip" "$test" 3)")
    printf '%-11s %-9s %8s%% %8s%%   %s-> %s\n' "$clip" "$r" "$bd" "$bds" "$rc" "$tc"
    if [ "$r" = new-old ]; then
      read -r pr pp _ <"$work/$clip-z-plain-23.pt"
      at=$(psnr_at "$rc $(curve "$clip" z-old-low 2)" "$pr")
      gain=-
      [ "$at" != - ] && gain=$(awk -v a="$pp" -v b="$at" 'BEGIN { printf "%+.2f", a - b }')
      printf '%-11s plain run %s kb/s (%.2f of --qp 27), Y-PSNR %s, former curve there %s: %s dB; CPU s %s -> %s\n' \
        "$clip" "$pr" "$(awk -v a="$pr" -v b="$(cut -d' ' -f1 "$work/$clip-z-old-27.pt")" 'BEGIN { print a / b }')" \
        "$pp" "$at" "$gain" "$(cat "$work/$clip-z-old-27.cpu")" "$(cat "$work/$clip-z-plain-23.cpu")"
    fi
  done
  rm -f "$work/$clip".*
done
