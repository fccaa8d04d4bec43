#!/usr/bin/env bash
# Synthetic pictures of awkward sizes (down to 2x2, smaller than a CTU, not a
# multiple of 8 or of the CTU, full HD) and contents (noise, sharp stripes,
# gradients, flat) at the QP extremes and in between: ffmpeg and libde265
# must both decode exactly the reconstruction ziravov wrote.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_init

# size|pictures|sources
sizes="2x2|2|noise
130x2|2|gradient
6x66|2|stripes
8x8|3|noise testsrc2 flat
24x16|3|noise stripes gradient
66x66|2|noise
72x40|3|mandelbrot noise
200x136|2|testsrc2 noise
350x286|2|mandelbrot stripes
1920x1080|1|testsrc2 noise"

cases=$SCRATCH/cases.txt
: >"$cases"
while IFS='|' read -r size pictures sources; do
  w=${size%x*} h=${size#*x}
  for src in $sources; do
    conf_synth "$src-$size" "$w" "$h" "$pictures" "$src" || conf_fail "$src-$size" "ffmpeg cannot make the input"
    for qp in 0 22 37 51; do
      echo "$src-$size-qp$qp|$src-$size.yuv|$w|$h|$pictures|--input-res $size --qp $qp --keyint 1" >>"$cases"
    done
  done
done <<<"$sizes"

# Settings that change the syntax written: presets at both ends, the loop
# filters off, the HM 10.0 compatibility (all intra: one IDR, then CRA
# pictures; without wavefronts, since its entry points count RBSP bytes),
# no wavefronts.  HM 9.1 streams have other parameter-set layouts and
# context initialisation than the final standard these decoders read; the
# unit tests read them back with those layouts.
for extra in "--complexity 0" "--complexity 7" "--no-deblock --no-sao" "--no-sao" "--no-deblock" \
  "--compat 100 --no-wpp --no-sao" "--compat 100 --no-wpp" "--no-wpp"; do
  tag=$(echo "$extra" | tr -d ' -')
  for input in noise-24x16 stripes-350x286 testsrc2-200x136; do
    size=${input#*-} w=${size%x*} h=${size#*x}
    for qp in 12 45; do
      echo "$input-qp$qp-$tag|$input.yuv|$w|$h|2|--input-res $size --qp $qp --frames 2 $extra" >>"$cases"
    done
  done
done

# Most expensive first, so that the full HD cases do not finish last alone.
sort -t'|' -k3,3nr "$cases" | conf_run_cases
conf_finish
