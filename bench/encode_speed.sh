#!/usr/bin/env bash
# Whole-encode timings: frames per second of real clips with 1 and N worker
# threads, the speed-up, and x265 on the same clip for reference.
# Usage: bench/encode_speed.sh [ziravov] [clips folder] [threads]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
enc=${1:-$root/build/ziravov}
clips=${2:-$root/../shared/clips}
threads=${3:-8}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fps_of() { sed -n 's/^encoded .*(\([0-9.]*\) fps).*/\1/p'; }
printf '%-22s %8s %10s %10s %8s\n' clip qp "1 thread" "$threads threads" speedup
for clip in foreman_cif_60f flower_720p_30f; do
  f="$clips/$clip.y4m"
  [ -f "$f" ] || { echo "$clip: missing, skipped"; continue; }
  one=$("$enc" --log-level 0 --qp 27 --bframes 3 --threads 1 "$f" "$out/a.hevc" | fps_of)
  many=$("$enc" --log-level 0 --qp 27 --bframes 3 --threads "$threads" "$f" "$out/b.hevc" | fps_of)
  cmp -s "$out/a.hevc" "$out/b.hevc" || echo "WARNING: $clip differs between thread counts"
  printf '%-22s %8s %10s %10s %7.2fx\n' "$clip" 27 "$one" "$many" "$(awk -v a="$many" -v b="$one" 'BEGIN { print a / b }')"
  if command -v x265 >/dev/null; then
    x265 --input "$f" --qp 27 --bframes 3 --frame-threads 0 --pools "$threads" -o "$out/x.hevc" 2>&1 |
      sed -n 's/^encoded \([0-9]*\) frames in \([0-9.]*\)s (\([0-9.]*\) fps).*/  x265 --qp 27 --bframes 3: \3 fps/p'
  fi
done
