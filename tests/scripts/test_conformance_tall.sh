#!/usr/bin/env bash
# Pictures as tall as the highest level allows (up to 16888 rows, 264 CTU
# rows) with wavefront rows: one entry point per CTU row but the first goes
# into the slice header.  Both decoders run their wavefront threads, which
# follow the entry points (a single-threaded decoder never reads them), and
# neither may warn; where the reference decoder is installed it decodes the
# streams too.  Tiny widths and the fastest preset keep the cases quick.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_init
# Each encoder holds a row context per CTU row in every frame context (about
# a gigabyte here): two at a time.
CONF_JOBS=2
reference_decoder=$(command -v TAppDecoderStatic || command -v TAppDecoder || true)

# tall_case NAME INPUT W H PICTURES ARGS...: the usual decode check, then the
# wavefront-threaded decoders, which must give the same pictures silently.
tall_case() {
  local name=$1 input=$2 w=$3 h=$4 pictures=$5
  shift 5
  conf_encode "$name" "$input" "$@" || return 1
  cp "$name.rec.yuv" "$name.keep.yuv"
  conf_decode_check "$name" "$w" "$h" "$pictures" || return 1
  ffmpeg -v warning -threads 4 -thread_type slice -y -i "$name.hevc" -f rawvideo -pix_fmt yuv420p \
    "$name.ffw.yuv" </dev/null 2>"$name.ffwerr"
  [ -s "$name.ffwerr" ] && conf_fail "$name" "wavefront-threaded ffmpeg complains: $(head -n 2 "$name.ffwerr" | tr '\n' ' ')"
  conf_compare "$name" "wavefront-threaded ffmpeg vs reconstruction" "$name.ffw.yuv" "$name.keep.yuv" "$w" "$h"
  libde265-dec265 -q -t 4 -o "$name.dew.yuv" "$name.hevc" >"$name.dewout" 2>&1 </dev/null
  grep -q -i 'warning\|error' "$name.dewout" &&
    conf_fail "$name" "wavefront-threaded libde265 complains: $(head -n 2 "$name.dewout" | tr '\n' ' ')"
  conf_compare "$name" "wavefront-threaded libde265 vs reconstruction" "$name.dew.yuv" "$name.keep.yuv" "$w" "$h"
  if [ -n "$reference_decoder" ]; then
    "$reference_decoder" -b "$name.hevc" -o "$name.ref.yuv" -d 8 >"$name.refout" 2>&1 </dev/null ||
      conf_fail "$name" "the reference decoder fails: $(tail -n 2 "$name.refout" | tr '\n' ' ')"
    conf_compare "$name" "reference decoder vs reconstruction" "$name.ref.yuv" "$name.keep.yuv" "$w" "$h"
  fi
  rm -f "$name".*.yuv
}

# size|pictures|source: 256 CTU rows (255 entry points), then every count
# from 257 to 264 rows; noise makes large substreams with escaped bytes.
sizes="8x16384|1|testsrc2
16x16392|1|noise
8x16450|1|gradient
2x16514|1|stripes
16x16600|2|testsrc2
2x16640|1|noise
8x16706|1|testsrc2
8x16770|1|noise
8x16888|2|testsrc2"
# The sanitizer build takes the tallest picture and the narrowest one only.
"$ZIRAVOV" --version | grep -q 'address sanitizer' && sizes=$(grep -E '^(8x16888|2x16640)' <<<"$sizes")

cases=$SCRATCH/cases.txt
: >"$cases"
while IFS='|' read -r size pictures src; do
  w=${size%x*} h=${size#*x}
  conf_synth "$src-$size" "$w" "$h" "$pictures" "$src" || conf_fail "$src-$size" "ffmpeg cannot make the input"
  echo "$src-$size|$src-$size.yuv|$w|$h|$pictures|--input-res $size --frames $pictures --complexity 0 --threads 1" >>"$cases"
done <<<"$sizes"

CONF_CASE_FN=tall_case conf_run_cases <"$cases"
conf_finish
