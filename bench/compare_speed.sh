#!/usr/bin/env bash
# Whole-encode speed of two ziravov builds in the same run: CPU time (user +
# system) of one-thread encodes at complexity 0, 4 and 7, the two binaries
# alternating so that both see the same machine load; the best of REPS runs
# each, frames per CPU second and the new/old ratio.  Also checks that both
# wrote the same stream.
# Usage: bench/compare_speed.sh OLD_BIN NEW_BIN [clip.y4m]
# Environment: FRAMES (default 10), REPS (default 3), LEVELS (default "0 4 7").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 2 ] || [ ! -x "$1" ] || [ ! -x "$2" ]; then
  echo "usage: $0 OLD_BIN NEW_BIN [clip.y4m]" >&2
  exit 2
fi
old=$1
new=$2
clip=${3:-$root/../shared/clips/foreman_cif_60f.y4m}
[ -r "$clip" ] || { echo "clip $clip missing" >&2; exit 2; }
frames=${FRAMES:-10}
reps=${REPS:-3}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# cpu_seconds BIN OUT ARGS...: user + system seconds of one encode.
cpu_seconds() {
  local bin=$1 o=$2
  shift 2
  /usr/bin/time -f '%U %S' -o "$out/t" "$bin" --log-level 0 --threads 1 --frames "$frames" "$@" "$clip" "$o" \
    >/dev/null 2>&1
  awk '{ printf "%.3f", $1 + $2 }' "$out/t"
}

printf '%s, %s pictures, best of %s, --bframes 3 --qp 27, one thread\n' "$(basename "$clip")" "$frames" "$reps"
printf '%-11s %12s %12s %8s\n' complexity "old f/cs" "new f/cs" new/old
for c in ${LEVELS:-0 4 7}; do
  best_old=999999 best_new=999999
  for ((r = 0; r < reps; r++)); do
    t=$(cpu_seconds "$old" "$out/old.hevc" --complexity "$c" --bframes 3 --qp 27)
    best_old=$(awk -v a="$t" -v b="$best_old" 'BEGIN { print (a < b) ? a : b }')
    t=$(cpu_seconds "$new" "$out/new.hevc" --complexity "$c" --bframes 3 --qp 27)
    best_new=$(awk -v a="$t" -v b="$best_new" 'BEGIN { print (a < b) ? a : b }')
  done
  cmp -s "$out/old.hevc" "$out/new.hevc" || echo "NOTE: the streams of complexity $c differ"
  awk -v c="$c" -v f="$frames" -v o="$best_old" -v n="$best_new" \
    'BEGIN { printf "%-11s %12.3f %12.3f %7.3fx\n", c, f / o, f / n, o / n }'
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
