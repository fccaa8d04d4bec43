#!/usr/bin/env bash
# What ziravov writes, checked against ffmpeg as an independent witness: the
# reconstruction file is in display order and equals what a decoder makes of
# the stream, and the reported PSNR equals ffmpeg's psnr filter between the
# decoded stream and the source (synthetic pictures and real clips).
set -u

ZIRAVOV=${ZIRAVOV:?path of the ziravov binary}
command -v ffmpeg >/dev/null 2>&1 || { echo "ffmpeg not found: skipped"; exit 77; }
SCRATCH=${SCRATCH:-$(mktemp -d)}
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" || exit 1
cd "$SCRATCH" || exit 1

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# check_psnr NAME DECODED SOURCE W H: the end report's "PSNR y:.. u:.. v:.."
# (NAME.out) against ffmpeg's psnr filter between the decoded stream and the
# source, both raw 4:2:0 so that no range conversion sneaks in; 0.01 dB is
# the rounding of the two-decimal report.
check_psnr() {
  local name=$1 dec=$2 src=$3 w=$4 h=$5 ref got
  ref=$(ffmpeg -v info -f rawvideo -pix_fmt yuv420p -s "${w}x${h}" -i "$dec" \
    -f rawvideo -pix_fmt yuv420p -s "${w}x${h}" -i "$src" -lavfi psnr -f null - </dev/null 2>&1 |
    grep -o 'PSNR y:[^ ]* u:[^ ]* v:[^ ]*')
  got=$(grep -o 'PSNR y:[^ ]* u:[^ ]* v:[^ ]*' "$name.out")
  if [ -z "$got" ] || [ -z "$ref" ]; then
    fail "$name: PSNR missing (ziravov '$got', ffmpeg '$ref')"
  else
    awk -v a="$got" -v b="$ref" 'BEGIN {
      split(a, x, /[ :]/); split(b, y, /[ :]/)
      for (i = 3; i <= 7; i += 2) {
        if (x[i] == "inf" || y[i] == "inf") { if (x[i] != y[i]) exit 1; continue }
        d = x[i] - y[i]; if (d < 0) d = -d; if (d > 0.01) exit 1
      } }' || fail "$name: PSNR '$got' differs from ffmpeg's '$ref'"
  fi
}

W=96
H=64
PIC=$((W * H * 3 / 2))
# Moving content, so B pictures really are coded out of display order.
ffmpeg -v error -y -f lavfi -i "testsrc=size=${W}x${H}:rate=25" -frames:v 12 -pix_fmt yuv420p \
  -f rawvideo src_${W}x${H}_25.yuv </dev/null || exit 1
{ printf 'YUV4MPEG2 W%d H%d F25:1 Ip C420\n' $W $H
  for ((i = 0; i < 12; i++)); do printf 'FRAME\n'; dd if=src_${W}x${H}_25.yuv bs=$PIC skip=$i count=1 status=none; done
} >src.y4m

# name|input|extra arguments|pictures expected
while IFS='|' read -r name input args pictures; do
  # shellcheck disable=SC2086
  timeout 300 "$ZIRAVOV" $args --recon "$name.rec.yuv" "$input" "$name.hevc" >"$name.out" 2>"$name.err" </dev/null
  rc=$?
  if [ $rc -ne 0 ]; then
    fail "$name: exit code $rc"
    sed 's/^/    /' "$name.err" | head -5
    continue
  fi
  ffmpeg -v error -y -i "$name.hevc" -f rawvideo -pix_fmt yuv420p "$name.dec.yuv" </dev/null
  n=$(($(stat -c %s "$name.dec.yuv") / PIC))
  [ "$n" -eq "$pictures" ] || fail "$name: decoder got $n pictures, expected $pictures"
  cmp -s "$name.dec.yuv" "$name.rec.yuv" || fail "$name: reconstruction differs from the decoded stream"

  # The source pictures that were coded, for the PSNR witness.
  skip=0
  [[ $args =~ --seek\ ([0-9]+) ]] && skip=${BASH_REMATCH[1]}
  dd if=src_${W}x${H}_25.yuv of="$name.src.yuv" bs=$PIC skip="$skip" count="$pictures" status=none
  check_psnr "$name" "$name.dec.yuv" "$name.src.yuv" $W $H
done <<CASES
y4m-default|src.y4m||12
y4m-bframes|src.y4m|--bframes 3|12
raw-named-size|src_${W}x${H}_25.yuv|--bframes 2 --keyint 5|12
seek-and-frames|src.y4m|--seek 3 --frames 5|5
all-intra|src.y4m|--keyint 1 --qp 20|12
CASES

# Real clips: C420jpeg (which ffmpeg would take as full range), C420mpeg2,
# and a lossless-looking QP where the report must still agree.
if [ -n "${CLIPS:-}" ] && [ -d "$CLIPS" ]; then
  while IFS='|' read -r clip frames args; do
    [ -r "$CLIPS/$clip.y4m" ] || { echo "note: clip $clip missing, PSNR not checked on it"; continue; }
    name=$clip-psnr
    read -r cw ch <<<"$(head -n 1 "$CLIPS/$clip.y4m" | tr ' ' '\n' | sed -n 's/^W//p; s/^H//p' | tr '\n' ' ')"
    # shellcheck disable=SC2086
    timeout 300 "$ZIRAVOV" --frames "$frames" $args "$CLIPS/$clip.y4m" "$name.hevc" >"$name.out" 2>"$name.err" </dev/null ||
      { fail "$name: exit code $?"; continue; }
    ffmpeg -v error -y -i "$name.hevc" -f rawvideo -pix_fmt yuv420p "$name.dec.yuv" </dev/null
    # Stream copy: the stored samples, not a range-converted version.
    ffmpeg -v error -y -i "$CLIPS/$clip.y4m" -frames:v "$frames" -c:v copy -f rawvideo "$name.src.yuv" </dev/null
    check_psnr "$name" "$name.dec.yuv" "$name.src.yuv" "$cw" "$ch"
  done <<CLIPCASES
bus_cif_17f|5|--qp 32
carphone_qcif|6|--qp 4 --keyint 1
foreman_cif_60f|3|--qp 45 --keyint 2
CLIPCASES
else
  echo "note: no clip folder, PSNR checked on synthetic pictures only"
fi

# Default output name: the input's extension replaced by .hevc.
cp src.y4m named.y4m
timeout 300 "$ZIRAVOV" --frames 2 named.y4m >/dev/null 2>named.err </dev/null || fail "default name: exit code $?"
[ -s named.hevc ] || fail "default name: named.hevc not written"

echo "$failures failures"
[ "$failures" -eq 0 ]
