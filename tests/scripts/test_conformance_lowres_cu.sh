#!/usr/bin/env bash
# The CU search on half-resolution pictures (an internal setting, switched
# on through ziravov_internal): a window panning off every picture edge,
# so that doubled half-resolution vectors point past each edge, and real
# pictures with P pictures sent as B slices (level 4).  Every stream must
# decode in ffmpeg and libde265 to exactly the reconstruction, and the
# search must change the stream (it is really on); under the sanitizers no
# read may leave the pictures' margins.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

[ -x "${ZIRAVOV_INTERNAL:-}" ] || { echo "no ziravov_internal: skipped"; exit 77; }
plain=$ZIRAVOV
ZIRAVOV=$ZIRAVOV_INTERNAL
conf_init
conf_need_clips flower_720p_30f.y4m foreman_cif_60f.y4m
conf_pan pan.yuv || conf_fail pan "ffmpeg cannot crop the clip"
conf_raw_from_y4m "$CLIPS/foreman_cif_60f.y4m" foreman.yuv 8 || conf_fail foreman "ffmpeg cannot read the clip"
on="--internal lowres_cu_search=1"
levels="0 2 4"
[ -n "${CONF_QUICK:-}" ] && levels="2 4"
{
  conf_pan_cases "$levels" "$on"
  echo "foreman-l4-b3|foreman.yuv|352|288|8|$on --input-res 352x288 --frames 8 --qp 30 --bframes 3 --complexity 4 --threads 4"
} | conf_run_cases
# Off, the internal program codes what ziravov codes; on, something else.
args=(--input-res 136x104 --frames 12 --qp 32 --bframes 3 --keyint 0 --scenecut 0 --complexity 4 --log-level 0)
"$plain" "${args[@]}" pan.yuv plain.hevc >/dev/null 2>&1
"$ZIRAVOV_INTERNAL" --internal lowres_cu_search=0 "${args[@]}" pan.yuv off.hevc >/dev/null 2>&1
cmp -s plain.hevc off.hevc || conf_fail off "the internal program with the setting off codes another stream"
cmp -s plain.hevc pan-l4-b3.hevc && conf_fail on "the setting on leaves the stream unchanged"
conf_finish
