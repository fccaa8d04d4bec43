#!/usr/bin/env bash
# P and B pictures at every complexity level (each level's motion search and
# its refinement), at two QPs, on moving synthetic pictures of awkward sizes
# (smaller than a CTU, not a multiple of 8) and, at the ends of the search
# range option, on a real clip: ffmpeg and libde265 must both decode exactly
# the reconstruction ziravov wrote, and the stream must not depend on the CPU
# tier.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_init

cases=$SCRATCH/cases.txt
: >"$cases"
for input in "testsrc2|200x136" "mandelbrot|72x40" "testsrc2|8x8" "noise|24x16"; do
  src=${input%|*} size=${input#*|} w=${size%x*} h=${size#*x}
  conf_synth "$src-$size" "$w" "$h" 4 "$src" || conf_fail "$src-$size" "ffmpeg cannot make the input"
done
inter="--keyint 0 --bframes 2"
for level in 0 1 2 3 4 5 6 7; do
  for qp in 22 37; do
    for input in mandelbrot-72x40 testsrc2-8x8 noise-24x16; do
      size=${input#*-} w=${size%x*} h=${size#*x}
      echo "$input-l$level-qp$qp|$input.yuv|$w|$h|4|--input-res $size $inter --qp $qp --complexity $level" >>"$cases"
    done
  done
  echo "testsrc2-200x136-l$level|testsrc2-200x136.yuv|200|136|4|--input-res 200x136 $inter --qp 30 --complexity $level" >>"$cases"
done
echo "testsrc2-merange4-l1|testsrc2-200x136.yuv|200|136|4|--input-res 200x136 $inter --qp 30 --complexity 1 --merange 4" >>"$cases"
echo "testsrc2-merange512-l7|testsrc2-200x136.yuv|200|136|4|--input-res 200x136 $inter --qp 30 --complexity 7 --merange 512" >>"$cases"
if [ -n "${CLIPS:-}" ] && [ -r "$CLIPS/foreman_cif_60f.y4m" ]; then
  for level in 1 5; do
    echo "foreman-l$level|$CLIPS/foreman_cif_60f.y4m|352|288|3|--frames 3 --bframes 1 --qp 32 --complexity $level" >>"$cases"
  done
fi
sort -t'|' -k3,3nr "$cases" | conf_run_cases

# The CPU tiers choose kernels only: the same bytes at every level.
rm -f tier_failed.txt
for level in 1 6; do
  for flags in 0 2 6; do
    "$ZIRAVOV" --log-level 0 --input-res 200x136 $inter --qp 27 --complexity $level --cpu-flags $flags \
      testsrc2-200x136.yuv "tier$level-$flags.hevc" >/dev/null 2>&1 || echo "tier-l$level-$flags" >>tier_failed.txt &
  done
done
wait
[ -s tier_failed.txt ] && conf_fail "tiers" "encodes failed: $(tr '\n' ' ' <tier_failed.txt)"
for level in 1 6; do
  for flags in 2 6; do
    cmp -s "tier$level-0.hevc" "tier$level-$flags.hevc" || conf_fail "tier-l$level" "--cpu-flags $flags differs from --cpu-flags 0"
  done
done
conf_finish
