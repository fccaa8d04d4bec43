#!/usr/bin/env bash
# Constant bitrate: each clip at two targets, the achieved rate against the
# target, the spread of the bits per picture (their standard deviation over
# bitrate / fps) and the lowest and highest bits of any window of one second
# (as a share of one second's target, pictures in display order).
# usage: bench/cbr_spread.sh ZIRAVOV "EXTRA ARGS" [CLIP:KBPS,KBPS ...]
#   default clips: foreman_cif_60f at 500 and 1000, flower_720p_30f at 4000
#   and 8000 kbit/s.  CLIPS (default ../shared/clips) holds the clips.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:?ziravov}
extra=${2-}
shift 2
clips=${CLIPS:-$root/../shared/clips}
[ $# -gt 0 ] || set -- foreman_cif_60f:500,1000 flower_720p_30f:4000,8000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-18s %7s %10s %8s %8s %16s\n' clip target achieved error spread "1 s windows"
for clip_targets in "$@"; do
  clip=${clip_targets%%:*}
  for kbps in $(echo "${clip_targets#*:}" | tr ',' ' '); do
    # shellcheck disable=SC2086
    "$bin" --cbr --bitrate "$kbps" $extra --log-level 2 "$clips/$clip.y4m" "$work/o.hevc" >"$work/o.txt" 2>"$work/o.err" ||
      { echo "$clip $kbps: encode failed"; continue; }
    fps=$(sed -n 's/.*, \([0-9]*\)\/\([0-9]*\) fps).*/\1 \2/p' "$work/o.txt" | head -n 1)
    awk -v kbps="$kbps" -v fps="$fps" '
      $1 == "frame" { bits[$2] = $8 * 8; if ($2 + 1 > n) n = $2 + 1 }
      END {
        split(fps, f, " "); rate = f[1] / f[2]; per = kbps * 1000 / rate; w = int(rate + 0.5)
        for (i = 0; i < n; i++) { sum += bits[i]; sq += (bits[i] - per) ^ 2 }
        lo = 1e18; hi = 0
        for (i = 0; i + w <= n; i++) { s = 0; for (j = i; j < i + w; j++) s += bits[j]; if (s < lo) lo = s; if (s > hi) hi = s }
        got = sum / n * rate / 1000
        printf "%7d %10.1f %+7.1f%% %8.2f %7.2f..%-7.2f\n", kbps, got, (got / kbps - 1) * 100, sqrt(sq / n) / per, lo / (per * w), hi / (per * w)
      }' "$work/o.err" | sed "s/^/$(printf '%-18s ' "$clip")/"
  done
done
