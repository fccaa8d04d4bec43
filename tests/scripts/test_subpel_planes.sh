#!/usr/bin/env bash
# Sub-sample planes of reference pictures hold exactly what the filters
# give, so switching them on (all planes, or the half-sample ones only)
# leaves the stream unchanged: at every complexity level, on the portable,
# SSSE3 and AVX2 tables, on 1 to 8 threads with and without wavefront rows
# (the plane windows are built as rows become final and referring rows wait
# for them), on pictures smaller than a CTU and of sizes that are not CTU
# multiples, and under random decisions whose vectors reach far outside the
# picture.  Some of the streams are also decoded by both decoders.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"
conf_init

inputs=()
for size in 8x8 72x40 200x136; do
  conf_synth "pan-$size" "${size%x*}" "${size#*x}" 7 testsrc2 || conf_fail "pan-$size" "ffmpeg cannot make the input"
  inputs+=("pan-$size.yuv:$size:7")
done
if [ -n "${CLIPS:-}" ] && [ -r "$CLIPS/foreman_cif_60f.y4m" ]; then
  conf_raw_from_y4m "$CLIPS/foreman_cif_60f.y4m" foreman.yuv 4 && inputs+=("foreman.yuv:352x288:4")
fi

# One case: the stream without planes, then with them in two rotating
# set-ups of threads, tier and plane mode; all must be the same bytes.
planes_case() {
  local name=$1 input=$2 size=$3 n=$4 j=$5
  shift 5
  local wpp=--wpp
  [ $((j % 3)) -eq 2 ] && wpp=--no-wpp
  local -a common=(--log-level 0 --input-res "$size" --frames "$n" $wpp "$@")
  conf_encode "$name-off" "$input" "${common[@]}" --threads 1 --subpel-planes 0 || return 1
  local threads=(1 3 8 2) flags=(7 0 2 7) modes=(2 1 2 1) k i
  for k in 0 1; do
    i=$(((j + k) % 4))
    conf_encode "$name-on$k" "$input" "${common[@]}" --threads ${threads[i]} --cpu-flags ${flags[i]} \
      --subpel-planes ${modes[i]} || return 1
    cmp -s "$name-off.hevc" "$name-on$k.hevc" ||
      conf_fail "$name" "planes ${modes[i]}, threads ${threads[i]}, cpu flags ${flags[i]}, $wpp: stream differs"
  done
  if [ $((j % 4)) -eq 0 ]; then
    conf_decode_check "$name-on0" "${size%x*}" "${size#*x}" "$n" || return 1
  fi
  rm -f "$name"-*.rec.yuv
}

j=0
for entry in "${inputs[@]}"; do
  IFS=: read -r input size n <<<"$entry"
  base=${input%.yuv}
  for level in 0 1 2 3 4 5 6 7; do
    # Levels rotate over the B structures; the larger inputs take fewer.
    [ "$base" = foreman ] && [ $level -ne 1 ] && [ $level -ne 6 ] && continue
    b=$(((level + j) % 3 * 2)) qp=$((22 + (level * 5 + j) % 20))
    planes_case "$base-c$level-b$b" "$input" "$size" "$n" $j --complexity $level --bframes $b --qp $qp &
    j=$((j + 1))
    while [ "$(jobs -rp | wc -l)" -ge "$CONF_JOBS" ]; do wait -n; done
  done
  [ "$base" = foreman ] && continue
  for seed in 3 8; do
    planes_case "$base-rnd$seed" "$input" "$size" "$n" $j --random-decisions $seed --bframes 2 --keyint 4 &
    j=$((j + 1))
    while [ "$(jobs -rp | wc -l)" -ge "$CONF_JOBS" ]; do wait -n; done
  done
done
wait
conf_finish
