#!/usr/bin/env bash
# Streams for the HM 10.0 decoder (--compat 100) differ from the final
# standard only where that decoder needs it: wavefront entry points count
# RBSP bytes, and a key picture right after a key picture is a CRA picture
# with the POC counting on.  Without wavefronts (no entry points) ffmpeg and
# libde265 must decode them exactly to the reconstruction: all intra, P
# only, B pyramids, open and closed GOPs, SAO on and off.
#
# The compatibility also follows the output name when --compat is not
# given: "hm91", "hm10" and "hm12" select the parameter-set layouts, seen
# here in the first bytes of the video parameter set.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_init

have_clip() { [ -n "${CLIPS:-}" ] && [ -r "$CLIPS/$1" ]; }

cases=$SCRATCH/cases.txt
: >"$cases"
add() { echo "$1|$2|$3|$4|$5|${*:6}" >>"$cases"; }

conf_synth pan-200x136 200 136 9 mandelbrot || conf_fail pan-200x136 "ffmpeg cannot make the input"
inputs=("pan-200x136.yuv|200|136|--input-res 200x136")
have_clip carphone_qcif.y4m && inputs+=("$CLIPS/carphone_qcif.y4m|176|144|")
i=0
for in in "${inputs[@]}"; do
  IFS='|' read -r file w h extra <<<"$in"
  tag=$(basename "$file" | cut -d_ -f1 | cut -d. -f1)
  for mode in "k1:--keyint 1" "p:--keyint 0 --bframes 0" "pyr:--keyint 0 --bframes 7 --hierarchy 2" \
    "open:--keyint 5 --bframes 3 --hierarchy 1 --open-gop" "closed:--keyint 4 --bframes 3 --hierarchy 1"; do
    for sao in --sao --no-sao; do
      qp=$((22 + (i * 7) % 20))
      add "$tag-${mode%%:*}$sao-qp$qp" "$file" "$w" "$h" 9 $extra --frames 9 --qp $qp --compat 100 --no-wpp $sao ${mode#*:}
      i=$((i + 1))
    done
  done
done
sort "$cases" | conf_run_cases

# The output-name token picks the layouts: the VPS starts 0C 01 FF FF in
# the final standard and in 10.0, 0E 00 FF FF in 9.1.
vps_start() { od -An -v -tx1 -j 6 -N 4 "$1" | tr -d ' \n'; }
for token in hm91:0e00ffff hm10:0c01ffff hm12:0c01ffff; do
  out=clip_${token%%:*}.hevc
  if ! "$ZIRAVOV" --input-res 200x136 --frames 1 pan-200x136.yuv "$out" >/dev/null 2>&1; then
    conf_fail "name-${token%%:*}" "encode to $out failed"
  elif [ "$(vps_start "$out")" != "${token#*:}" ]; then
    conf_fail "name-${token%%:*}" "VPS starts $(vps_start "$out"), expected ${token#*:}"
  fi
done
conf_finish
