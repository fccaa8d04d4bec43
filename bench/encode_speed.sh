#!/usr/bin/env bash
# Whole-encode timings: frames per second of real clips with 1 and N worker
# threads, the speed-up, and x265 on the same clip for reference; then the
# speed-up of the vector kernels (--cpu-flags 0 against every tier this
# processor has) at complexity 0, 4 and 7 on one thread, in frames per CPU
# second, with a check that both give the same stream.
# Usage: bench/encode_speed.sh [ziravov] [clips folder] [threads]
# (TIER_FRAMES=n sets the pictures of the kernel comparison, default 10.)
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

# Frames per CPU second (user + system) of one single-threaded encode.
cpu_fps() {
  local frames=$1
  shift
  local t0 t1 me=$BASHPID
  t0=$(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$me/stat")
  "$enc" --log-level 0 --threads 1 --frames "$frames" "$@" >/dev/null 2>&1
  # Children's times are collected in the shell's cutime/cstime fields.
  t1=$(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$me/stat")
  awk -v f="$frames" -v d="$((t1 - t0))" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", f / (d / hz) }'
}

tier_frames=${TIER_FRAMES:-10}
echo
printf '%-22s %10s %14s %14s %8s\n' clip complexity "portable f/cs" "kernels f/cs" speedup
for clip in foreman_cif_60f; do
  f="$clips/$clip.y4m"
  [ -f "$f" ] || { echo "$clip: missing, skipped"; continue; }
  for c in 0 4 7; do
    p=$(cpu_fps "$tier_frames" --qp 27 --complexity "$c" --cpu-flags 0 "$f" "$out/p.hevc")
    k=$(cpu_fps "$tier_frames" --qp 27 --complexity "$c" --cpu-flags 7 "$f" "$out/k.hevc")
    cmp -s "$out/p.hevc" "$out/k.hevc" || echo "WARNING: $clip complexity $c differs between CPU tiers"
    printf '%-22s %10s %14s %14s %7.2fx\n' "$clip" "$c" "$p" "$k" "$(awk -v a="$k" -v b="$p" 'BEGIN { print a / b }')"
  done
done
