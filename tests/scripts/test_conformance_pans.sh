#!/usr/bin/env bash
# P and B pictures of a window that pans across a larger clip and back, so
# that the content moves in off every picture edge in turn: merge and
# searched vectors point past each edge of the reference.  Every fast level
# (0-4) with and without B pictures must decode in ffmpeg and libde265 to
# exactly the reconstruction; under the sanitizers no read may leave the
# pictures' margins.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_init
conf_need_clips flower_720p_30f.y4m
# 12 pictures of 136x104 (not a multiple of the CTU size) from the middle of
# the clip: 8 samples a picture right, left, down, up (the window comes back).
w=136 h=104 n=12
ffmpeg -v error -y -i "$CLIPS/flower_720p_30f.y4m" -frames:v $n \
  -vf "crop=$w:$h:'300+8*(if(lt(n,3),n,if(lt(n,6),6-n,0)))':'200+8*(if(between(n,6,8),n-5,if(between(n,9,11),12-n,0)))'" \
  -pix_fmt yuv420p -f rawvideo pan.yuv </dev/null || conf_fail pan "ffmpeg cannot crop the clip"
levels="0 1 2 3 4"
# Sanitized builds run a cheaper set.
[ -n "${CONF_QUICK:-}" ] && levels="0 4"
for level in $levels; do
  for b in 0 3; do
    echo "pan-l$level-b$b|pan.yuv|$w|$h|$n|--input-res ${w}x$h --frames $n --qp 32 --bframes $b --keyint 0 --scenecut 0 --complexity $level"
  done
done | conf_run_cases
conf_finish
