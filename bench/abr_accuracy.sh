#!/usr/bin/env bash
# Average-bitrate accuracy: each clip at three targets, the achieved rate
# against the target (the end report's line), and with VBV the lowest fill
# of the buffer the program follows.
# usage: bench/abr_accuracy.sh ZIRAVOV "EXTRA ARGS" [CLIP:KBPS,KBPS,KBPS ...]
#   default clips: foreman_cif_60f at 250, 500, 1000 and flower_720p_30f at
#   2000, 4000, 8000 kbit/s.  CLIPS (default ../shared/clips) holds the clips.
#   VBV_SECONDS=S adds a VBV buffer at each target: maxrate = the target,
#   buffer = S seconds of it (e.g. VBV_SECONDS=1).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:?ziravov}
extra=${2-}
shift 2
clips=${CLIPS:-$root/../shared/clips}
[ $# -gt 0 ] || set -- foreman_cif_60f:250,500,1000 flower_720p_30f:2000,4000,8000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-18s %8s %10s %8s  %s\n' clip target achieved error "vbv lowest fill"
for clip_targets in "$@"; do
  clip=${clip_targets%%:*}
  for kbps in $(echo "${clip_targets#*:}" | tr ',' ' '); do
    vbv_args=""
    [ -n "${VBV_SECONDS:-}" ] &&
      vbv_args="--vbv-maxrate $kbps --vbv-bufsize $(awk -v k="$kbps" -v s="$VBV_SECONDS" 'BEGIN { printf "%d", k * s }')"
    # shellcheck disable=SC2086
    "$bin" --bitrate "$kbps" $vbv_args $extra --log-level 0 "$clips/$clip.y4m" "$work/o.hevc" >"$work/o.txt" 2>&1 ||
      { echo "$clip $kbps: encode failed"; continue; }
    line=$(sed -n 's/^bitrate \([0-9.]*\) kb\/s, target \([0-9]*\) kb\/s (\([-+0-9.]*%\))$/\1 \2 \3/p' "$work/o.txt")
    vbv=$(sed -n 's/^VBV lowest fill \(.*\)$/\1/p' "$work/o.txt")
    read -r got want err <<<"$line"
    printf '%-18s %8s %10s %8s  %s\n' "$clip" "$want" "$got" "$err" "${vbv:--}"
  done
done
