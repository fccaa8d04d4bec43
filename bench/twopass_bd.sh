#!/usr/bin/env bash
# Two-pass against one-pass average bitrate: each clip at four targets, the
# rate the second pass achieved against its target, and the BD-rate (luma
# PSNR) of the second pass against one pass at the same targets.
# usage: bench/twopass_bd.sh ZIRAVOV "EXTRA ARGS" [CLIP:KBPS,KBPS,KBPS,KBPS ...]
#   default clips: foreman_cif_60f at 250, 500, 1000, 2000 and
#   flower_720p_30f at 2000, 4000, 8000, 16000 kbit/s.  CLIPS (default
#   ../shared/clips) holds the clips.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:?ziravov}
extra=${2-}
shift 2
clips=${CLIPS:-$root/../shared/clips}
[ $# -gt 0 ] || set -- foreman_cif_60f:250,500,1000,2000 flower_720p_30f:2000,4000,8000,16000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# "rate psnr" of one run from the end report.
run() {
  # shellcheck disable=SC2086
  "$bin" "$@" $extra --log-level 0 >"$work/o.txt" 2>&1 || { echo "failed: $*" >&2; return 1; }
  local rate psnr
  rate=$(sed -n 's/^bitrate \([0-9.]*\) kb\/s.*/\1/p' "$work/o.txt")
  psnr=$(sed -n 's/^PSNR y:\([0-9.]*\).*/\1/p' "$work/o.txt")
  echo "$rate,$psnr"
}
printf '%-18s %7s %22s %22s %8s\n' clip target "one pass (kb/s,dB)" "two pass (kb/s,dB)" "error"
for clip_targets in "$@"; do
  clip=${clip_targets%%:*}
  one="" two=""
  for kbps in $(echo "${clip_targets#*:}" | tr ',' ' '); do
    a=$(run --bitrate "$kbps" "$clips/$clip.y4m" "$work/a.hevc") || continue
    run --pass 1 --stats "$work/s.log" --bitrate "$kbps" "$clips/$clip.y4m" "$work/b.hevc" >/dev/null || continue
    b=$(run --pass 2 --stats "$work/s.log" --bitrate "$kbps" "$clips/$clip.y4m" "$work/b.hevc") || continue
    err=$(awk -v r="${b%,*}" -v t="$kbps" 'BEGIN { printf "%+.2f%%", (r / t - 1) * 100 }')
    printf '%-18s %7s %22s %22s %8s\n' "$clip" "$kbps" "$a" "$b" "$err"
    one="$one $a"
    two="$two $b"
  done
  printf '%-18s BD-rate of two passes against one (Y-PSNR): %s\n' "$clip" \
    "$(python3 "$root/tests/tools/bd_rate.py" "$one" "$two")"
done
