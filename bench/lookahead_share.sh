#!/usr/bin/env bash
# The lookahead's share of a whole encode at 1080p: the flower clip scaled to
# 1920x1080 and played forward then backward (60 pictures, no scene cut),
# encoded at constant QP 27 on N threads by an old and a new build with the
# default lookahead, and by the new build with the lookahead switched off (no
# scene cuts, no CU-tree: constant QP then needs no estimate; the default
# rate factor always does).  The three run in turn,
# ROUNDS times, so that each round sees the same load; the table gives the
# median wall and CPU (user + system) seconds and the end statistics'
# account of the lookahead: the time per picture the caller's thread spent
# in it or waiting for it, and its share of the encoding time.
# Usage: bench/lookahead_share.sh OLD_ZIRAVOV NEW_ZIRAVOV [threads] [clips folder]
# Environment: ROUNDS (default 5), ARGS (further encoder options).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
old=${1:?old ziravov}
new=${2:?new ziravov}
threads=${3:-8}
clips=${4:-$root/../shared/clips}
rounds=${ROUNDS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$root/bench/encode_lib.sh"
src=$work/flower_1080p_60.y4m
ffmpeg -loglevel error -y -i "$clips/flower_720p_30f.y4m" \
  -filter_complex "[0]scale=1920:1080:flags=bicubic,split[a][b];[b]reverse[r];[a][r]concat=n=2:v=1" \
  -pix_fmt yuv420p "$src" </dev/null
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for r in $(seq "$rounds"); do
  for run in old new off; do
    bin=$new
    extra=""
    [ $run = old ] && bin=$old
    [ $run = off ] && extra="--scenecut 0 --no-cutree"
    # shellcheck disable=SC2086
    timed "$work/$run-$r" "$bin" --log-level 1 --threads "$threads" --qp 27 $extra ${ARGS:-} "$src" "$work/$run.hevc"
  done
  cmp -s "$work/old.hevc" "$work/new.hevc" || echo "WARNING: round $r: the old and new streams differ"
  echo "round $r wall/cpu s: $(for run in old new off; do
    awk -v n=$run '{ printf "%s %s/%.2f  ", n, $1, $2 + $3 }' "$work/$run-$r.time"; done)"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf '%-5s %8s %8s %22s %12s\n' build wall_s cpu_s "caller's ms/picture" share
for run in old new off; do
  wall=$(cat "$work/$run"-*.time | awk '{ print $1 }' | median)
  cpu=$(cat "$work/$run"-*.time | awk '{ print $2 + $3 }' | median)
  ms=$(cat "$work/$run"-*.log | sed -n 's/.*lookahead \([0-9.]*\) ms per picture.*/\1/p' | median)
  share=$(cat "$work/$run"-*.log | sed -n 's/.*, \([0-9.]*\)% of the encoding time.*/\1/p' | median)
  printf '%-5s %8s %8s %22s %11s%%\n' $run "$wall" "$cpu" "${ms:--}" "${share:--}"
done
grep -h 'behind the caller' "$work/new-1.log" | sed 's/^tarnhevcenc: /new, round 1: /' || true
