#!/usr/bin/env bash
# Peak resident size of whole encodes against x265, and the library's own
# account of what it reserved at creation, per kind.  The flower clip is
# scaled to 1080p and 4K with ffmpeg (8 pictures each; 4 at 4K on one
# thread); 720p is the clip itself.  A last row encodes one 8192x4352
# picture at complexity 0 on 4 and 8 threads.
# Loads from other work on the machine change CPU times, not peaks.
# Usage: bench/memory_bench.sh [ziravov] [clips folder]
# Environment: SIZES (default "720 1080 2160 8k"), THREADS (default "8 1"),
#   QP (default 30), SCRATCH (keeps the scaled clips between runs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
enc=${1:-$root/build/ziravov}
clips=${2:-$root/../shared/clips}
sizes=${SIZES:-720 1080 2160 8k}
threads_list=${THREADS:-8 1}
qp=${QP:-30}
scratch=${SCRATCH:-$(mktemp -d)}
[ -n "${SCRATCH:-}" ] || trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch"
src="$clips/flower_720p_30f.y4m"
[ -f "$src" ] || { echo "missing $src" >&2; exit 2; }

clip_for() { # clip_for SIZE -> path of the input
  local size=$1 f
  case $size in
  720) echo "$src"; return ;;
  1080) f=$scratch/flower_1080.y4m; [ -f "$f" ] || ffmpeg -v error -y -i "$src" -frames:v 8 -vf scale=1920:1080 "$f" </dev/null ;;
  2160) f=$scratch/flower_2160.y4m; [ -f "$f" ] || ffmpeg -v error -y -i "$src" -frames:v 8 -vf scale=3840:2160 "$f" </dev/null ;;
  8k) f=$scratch/flower_8k.y4m; [ -f "$f" ] || ffmpeg -v error -y -i "$src" -frames:v 1 -vf scale=8192:4352 "$f" </dev/null ;;
  esac
  echo "$f"
}

# x265 --preset medium --bframes 3 at the same QP and thread count, through
# its program when installed, else through ffmpeg's libx265 (which adds the
# y4m reader's few megabytes).
x265_run() { # x265_run INPUT THREADS FRAMES
  local ft=frame-threads=0
  [ "$2" = 1 ] && ft=frame-threads=1
  if command -v x265 >/dev/null; then
    /usr/bin/time -v -o "$scratch/x.time" x265 --input "$1" --preset medium --bframes 3 --qp "$qp" \
      --pools "$2" --${ft/=/ } --frames "$3" -o "$scratch/x.hevc" >/dev/null 2>&1
  elif [[ $(ffmpeg -hide_banner -encoders 2>/dev/null) == *libx265* ]]; then
    /usr/bin/time -v -o "$scratch/x.time" ffmpeg -v error -y -i "$1" -frames:v "$3" -c:v libx265 -preset medium \
      -x265-params "bframes=3:qp=$qp:pools=$2:$ft:log-level=error" "$scratch/x.hevc" </dev/null >/dev/null 2>&1
  else
    return 1
  fi
}

# peak_of TIMEFILE -> "peak MB"
peak_of() { awk -F: '/Maximum resident/ { printf "%.0f", $2 / 1024 }' "$1"; }
cpu_of() { awk -F: '/User time|System time/ { s += $2 } END { printf "%.1f", s }' "$1"; }

printf '%-6s %-3s %-8s %10s %8s %10s %8s %6s   %s\n' size thr frames ziravov cpu_s x265 cpu_s ratio "reserved by kind (MB)"
for size in $sizes; do
  input=$(clip_for "$size")
  for t in $threads_list; do
    frames=8 extra=()
    [ "$size" = 720 ] && frames=30
    [ "$size" = 2160 ] && [ "$t" = 1 ] && frames=4
    if [ "$size" = 8k ]; then
      frames=1 extra=(--complexity 0)
      [ "$t" = 1 ] && t=4
    fi
    /usr/bin/time -v -o "$scratch/z.time" "$enc" --log-level 2 --threads "$t" --bframes 3 --qp "$qp" \
      --frames "$frames" "${extra[@]}" "$input" "$scratch/z.hevc" >/dev/null 2>"$scratch/z.err" ||
      { echo "ziravov failed at $size, $t threads:" >&2; tail -3 "$scratch/z.err" >&2; continue; }
    kinds=$(awk '/tarnhevcenc:   / && / MB$/ && !/total/ { sub(/^tarnhevcenc: +/, ""); n = $(NF - 1); $NF = ""; $(NF - 1) = "";
                 gsub(/ +$/, ""); printf "%s%s %.0f", sep, $0, n; sep = ", " }' "$scratch/z.err")
    x=- xc=- ratio=-
    if [ "$size" != 8k ] && x265_run "$input" "$t" "$frames"; then
      x=$(peak_of "$scratch/x.time")
      xc=$(cpu_of "$scratch/x.time")
      ratio=$(awk -v a="$(peak_of "$scratch/z.time")" -v b="$x" 'BEGIN { printf "%.2f", a / b }')
    fi
    printf '%-6s %-3s %-8s %10s %8s %10s %8s %6s   %s\n' "$size" "$t" "$frames" "$(peak_of "$scratch/z.time")" \
      "$(cpu_of "$scratch/z.time")" "$x" "$xc" "$ratio" "$kinds"
  done
done
