#!/usr/bin/env bash
# Motion off every picture edge: a 208x144 window pans across flower 720p
# to the right, down, to the left and up, 16 samples a picture, so content
# leaves the picture over each of its four edges and new content enters at
# the opposite one; vectors and merge candidates point beyond every edge.
# The full-analysis levels with B pictures; ffmpeg and libde265 must both
# decode exactly the reconstruction.  Runs under the sanitizers too.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_init
conf_need_clips flower_720p_30f.y4m
frames=16
x="if(lt(n\,4)\,400+16*n\,if(lt(n\,8)\,464\,if(lt(n\,12)\,464-16*(n-8)\,400)))"
y="if(lt(n\,4)\,200\,if(lt(n\,8)\,200+16*(n-4)\,if(lt(n\,12)\,264\,264-16*(n-12))))"
ffmpeg -v error -y -i "$CLIPS/flower_720p_30f.y4m" -frames:v $frames -vf "crop=208:144:$x:$y" \
  -pix_fmt yuv420p -f rawvideo pan.yuv </dev/null || { conf_fail pan "ffmpeg cannot crop the clip"; conf_finish; }

cases=$SCRATCH/cases.txt
: >"$cases"
for level in 5 6 7; do
  echo "pan-l$level|pan.yuv|208|144|$frames|--input-res 208x144 --bframes 3 --qp 32 --complexity $level" >>"$cases"
done
conf_run_cases <"$cases"
conf_finish
