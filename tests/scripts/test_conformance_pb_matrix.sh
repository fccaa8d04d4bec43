#!/usr/bin/env bash
# P and B pictures at every complexity level across the picture structures:
# B runs of 0, 3 and 7 pictures, the three B pyramids, closed and open GOPs
# with a second key picture inside the clip.  A sparse covering set: every
# level meets at least two structures, every structure value several
# levels.  Input: a 200x136 crop of foreman (partial CTUs at the right and
# bottom).  ffmpeg and libde265 must both decode exactly the
# reconstruction; the bytes must not depend on the thread count or the CPU
# tier.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_init
conf_need_clips foreman_cif_60f.y4m
frames=17
ffmpeg -v error -y -i "$CLIPS/foreman_cif_60f.y4m" -frames:v $frames -vf "crop=200:136:64:40" \
  -pix_fmt yuv420p -f rawvideo crop.yuv </dev/null || { conf_fail crop "ffmpeg cannot crop the clip"; conf_finish; }

# level | bframes | hierarchy | gop
matrix="0|0|0|closed 1|3|1|open 2|7|2|closed 3|3|2|open 4|7|0|open 4|3|1|closed 5|0|1|closed 5|7|1|open
6|3|0|closed 6|7|2|open 7|3|2|closed 7|7|1|open 1|7|0|closed 3|0|2|open"
cases=$SCRATCH/cases.txt
: >"$cases"
for c in $matrix; do
  IFS='|' read -r level bf hier gop <<<"$c"
  echo "l$level-bf$bf-h$hier-$gop|crop.yuv|200|136|$frames|--input-res 200x136 --keyint 9 --bframes $bf --hierarchy $hier --$([ "$gop" = open ] && echo open-gop || echo no-open-gop) --qp 30 --complexity $level" >>"$cases"
done
sort -t'|' -k1,1r "$cases" | conf_run_cases

# Threads and CPU tiers choose how, never what.
rm -f same_failed.txt
for level in 2 5 7; do
  for run in "1 0" "1 7" "4 7"; do
    set -- $run
    "$ZIRAVOV" --log-level 0 --input-res 200x136 --frames 9 --bframes 3 --qp 27 --complexity $level --threads "$1" \
      --cpu-flags "$2" crop.yuv "same-l$level-t$1-c$2.hevc" >/dev/null 2>&1 || echo "l$level $run" >>same_failed.txt &
  done
done
wait
[ -s same_failed.txt ] && conf_fail "same" "encodes failed: $(tr '\n' ' ' <same_failed.txt)"
for level in 2 5 7; do
  for run in "1 7" "4 7"; do
    set -- $run
    cmp -s "same-l$level-t1-c0.hevc" "same-l$level-t$1-c$2.hevc" ||
      conf_fail "same-l$level" "--threads $1 --cpu-flags $2 differs from --threads 1 --cpu-flags 0"
  done
done
conf_finish
