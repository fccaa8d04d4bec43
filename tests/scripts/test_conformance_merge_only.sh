#!/usr/bin/env bash
# CTUs coded as one 64x64 skip CU with merge candidate 0 (a test-only
# driver, switched on through ziravov_internal): the merge list, the skip
# syntax and the prediction of whole CTUs, with B and P pictures, on real
# pictures (whose edge CTUs, which must split, take the usual decision) and
# on a picture of whole CTUs only.  Every stream must decode in ffmpeg and
# libde265 to exactly the reconstruction.  With whole CTUs only and P
# pictures, every candidate 0 is the zero vector to the picture before (no
# neighbour, and a co-located intra or zero-vector CTU), so without SAO
# (whose offsets follow the moving source) every picture must reconstruct
# exactly as the first.  Off, the internal program codes
# what ziravov codes.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

[ -x "${ZIRAVOV_INTERNAL:-}" ] || { echo "no ziravov_internal: skipped"; exit 77; }
plain=$ZIRAVOV
ZIRAVOV=$ZIRAVOV_INTERNAL
conf_init
conf_need_clips foreman_cif_60f.y4m
conf_raw_from_y4m "$CLIPS/foreman_cif_60f.y4m" foreman.yuv 8 || conf_fail foreman "ffmpeg cannot read the clip"
conf_synth whole 256 128 6 testsrc2 || conf_fail whole "ffmpeg cannot make the pictures"
on="--internal merge_only_ctus=1"
{
  echo "foreman-b3|foreman.yuv|352|288|8|$on --input-res 352x288 --frames 8 --qp 30 --bframes 3 --threads 4"
  echo "foreman-p-l0|foreman.yuv|352|288|8|$on --input-res 352x288 --frames 8 --qp 30 --bframes 0 --complexity 0"
  echo "foreman-b3-l7-cpu0|foreman.yuv|352|288|5|$on --input-res 352x288 --frames 5 --qp 34 --bframes 3 --complexity 7 --cpu-flags 0"
  echo "whole-b3|whole.yuv|256|128|6|$on --input-res 256x128 --frames 6 --qp 27 --bframes 3 --keyint 0 --scenecut 0"
} | conf_run_cases

# P pictures of whole CTUs: copies of the first picture.
name=whole-p
if conf_encode $name whole.yuv $on --input-res 256x128 --frames 6 --qp 27 --bframes 0 --keyint 0 --scenecut 0 --no-sao; then
  pic=$((256 * 128 * 3 / 2))
  head -c $pic $name.rec.yuv >first.yuv
  for k in 1 2 3 4 5; do
    tail -c +$((k * pic + 1)) $name.rec.yuv | head -c $pic >later.yuv
    cmp -s first.yuv later.yuv || conf_fail $name "picture $k is not a copy of picture 0: $(conf_first_diff first.yuv later.yuv 256 128)"
  done
  conf_decode_check $name 256 128 6
fi

# Off, the internal program codes what ziravov codes; on, something else.
args=(--input-res 352x288 --frames 8 --qp 30 --bframes 3 --threads 4 --log-level 0)
"$plain" "${args[@]}" foreman.yuv plain.hevc >/dev/null 2>&1
"$ZIRAVOV_INTERNAL" --internal merge_only_ctus=0 "${args[@]}" foreman.yuv off.hevc >/dev/null 2>&1
cmp -s plain.hevc off.hevc || conf_fail off "the internal program with the setting off codes another stream"
[ -f foreman-b3.hevc ] && cmp -s plain.hevc foreman-b3.hevc && conf_fail on "the setting on leaves the stream unchanged"
conf_finish
