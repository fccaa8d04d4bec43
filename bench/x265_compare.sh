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
if ! command -v x265 >/dev/null; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq x265 >/dev/null ||
    { echo "x265 is missing and could not be installed" >&2; exit 2; }
fi
[ "$(echo "$qps" | wc -w)" -eq 4 ] || { echo "QPS needs four values for the BD-rate" >&2; exit 2; }

# clip_file NAME: the y4m of a clip name and its picture count.
clip_file() {
  case $1 in
    foreman) echo "$clips/foreman_cif_60f.y4m 60" ;;
    flower720) echo "$clips/flower_720p_30f.y4m 30" ;;
    flower1080)
      # Made once per run, never kept: an upscale of the 720p clip.
      if [ ! -f "$work/flower_1080p.y4m" ]; then
        ffmpeg -loglevel error -y -i "$clips/flower_720p_30f.y4m" -vf scale=1920:1080:flags=bicubic \
          -pix_fmt yuv420p "$work/flower_1080p.y4m" >&2 || return 1
      fi
      echo "$work/flower_1080p.y4m 30"
      ;;
    *) return 1 ;;
  esac
}

# timed OUT CMD...: runs CMD, leaving "wall user sys maxrss_kb" in OUT.time.
timed() {
  local out=$1
  shift
  /usr/bin/time -f '%e %U %S %M' -o "$out.time" "$@" >"$out.log" 2>&1 ||
    { echo "failed: $*" >&2; cat "$out.log" >&2; return 1; }
}

# ziravov's end report and x265's CSV summary give "kbps,psnr_y".
zv_point() {
  local r p
  r=$(sed -n 's/^encoded .*), \([0-9.]*\) kb\/s.*/\1/p' "$1.log")
  p=$(sed -n 's/^PSNR y:\([0-9.]*\).*/\1/p' "$1.log")
  [ -n "$r" ] && [ -n "$p" ] || { echo "no report in $1.log" >&2; return 1; }
  echo "$r,$p"
}
x265_point() {
  python3 - "$1.csv" <<'EOF'
import csv, sys
rows = list(csv.reader(open(sys.argv[1]), skipinitialspace=True))
head = [h.strip() for h in rows[0]]
last = [v.strip() for v in rows[-1]]
print(f"{last[head.index('Bitrate')]},{last[head.index('Y PSNR')]}")
EOF
}

# totals PREFIX: "wall_s cpu_s peak_rss_kb" summed (peak: largest) over the QPs.
totals() {
  cat "$1"*.time | awk '{ w += $1; c += $2 + $3; if ($4 > m) m = $4 } END { printf "%.2f %.2f %d\n", w, c, m }'
}

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
