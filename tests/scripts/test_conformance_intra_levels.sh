#!/usr/bin/env bash
# Intra pictures at every complexity level, with 4x4 prediction units and
# the fast intra path on and off, at the QP extremes and in between, on
# awkward picture sizes and a real clip: ffmpeg and libde265 must both decode
# exactly the reconstruction ziravov wrote.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_init

cases=$SCRATCH/cases.txt
: >"$cases"
for input in "noise|66x66" "mandelbrot|350x286" "stripes|24x16" "noise|2x2" "gradient|130x2" "stripes|6x66" \
  "testsrc2|8x8" "mandelbrot|72x40" "testsrc2|200x136"; do
  src=${input%|*} size=${input#*|} w=${size%x*} h=${size#*x}
  conf_synth "$src-$size" "$w" "$h" 2 "$src" || conf_fail "$src-$size" "ffmpeg cannot make the input"
done
for level in 0 1 2 3 4 5 6 7; do
  for qp in 0 22 37 51; do
    echo "mandelbrot-l$level-qp$qp|mandelbrot-350x286.yuv|350|286|2|--input-res 350x286 --keyint 1 --qp $qp --complexity $level" >>"$cases"
    echo "noise-l$level-qp$qp|noise-66x66.yuv|66|66|2|--input-res 66x66 --keyint 1 --qp $qp --complexity $level" >>"$cases"
    # The awkward sizes: smaller than a CTU, not a multiple of 8, thin.
    for input in noise-2x2 gradient-130x2 stripes-6x66 testsrc2-8x8 mandelbrot-72x40 testsrc2-200x136; do
      size=${input#*-} w=${size%x*} h=${size#*x}
      echo "$input-l$level-qp$qp|$input.yuv|$w|$h|2|--input-res $size --keyint 1 --qp $qp --complexity $level" >>"$cases"
    done
  done
  for opts in "--no-intra-nxn" "--fast-intra" "--no-fast-intra" "--no-intra-nxn --fast-intra"; do
    tag=$(echo "$opts" | tr -d ' -')
    for qp in 22 37; do
      echo "stripes-l$level-qp$qp-$tag|stripes-24x16.yuv|24|16|2|--input-res 24x16 --keyint 1 --qp $qp --complexity $level $opts" >>"$cases"
      echo "mandelbrot-l$level-qp$qp-$tag|mandelbrot-350x286.yuv|350|286|1|--input-res 350x286 --keyint 1 --qp $qp --frames 1 --complexity $level $opts" >>"$cases"
    done
  done
done
if [ -n "${CLIPS:-}" ] && [ -r "$CLIPS/carphone_qcif.y4m" ]; then
  for level in 0 2 4 5 7; do
    echo "carphone-l$level|$CLIPS/carphone_qcif.y4m|176|144|2|--frames 2 --keyint 1 --qp 27 --complexity $level" >>"$cases"
  done
fi
sort -t'|' -k3,3nr "$cases" | conf_run_cases
conf_finish
