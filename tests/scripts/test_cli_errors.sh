#!/usr/bin/env bash
# Every kind of bad command line or bad input must end ziravov with its own
# exit code and a message on stderr -- never a crash, never a silent success.
# Inputs are made here with printf/head so the test needs no clips.
set -u

. "${SCRIPTS:-$(dirname "$0")}/cli_lib.sh"

# --- command line ------------------------------------------------------------
y4m "W$W H$H F25:1 Ip C420" 2 >good.y4m

run help --help
[ "$rc" -eq 0 ] || fail "--help: exit code $rc"
grep -q -F 'usage: ziravov [options] <input_filename> [<output_filename>]' out.txt || fail "--help: no usage line"
grep -q -F '.hevc' out.txt || fail "--help: default output name not explained"
# The README's option table names every option --help lists, and no other.
readme=${SCRIPTS:-$(dirname "$0")}/../../README.md
if [ -r "$readme" ]; then
  help_opts=$(grep -oE '^  --[a-z0-9-]+' out.txt | tr -d ' ' | sort -u)
  readme_opts=$(sed -n '/^## Command line/,/^## Exit codes/p' "$readme" | grep -E '^\| `--' |
    grep -oE '`--[a-z0-9-]+' | tr -d '`' | sort -u)
  [ -n "$help_opts" ] && [ "$help_opts" = "$readme_opts" ] ||
    fail "--help and the README's option table differ: $(diff <(echo "$help_opts") <(echo "$readme_opts") | grep '^[<>]' | tr '\n' ' ')"
fi
run help-short -h
[ "$rc" -eq 0 ] && grep -q -F 'usage: ziravov' out.txt || fail "-h: exit code $rc or no usage line"
run version --version
[ "$rc" -eq 0 ] && [ -s out.txt ] || fail "--version: exit code $rc or no text"

expect 1 'usage: ziravov' no-arguments
expect 1 'unknown option' unknown-long --no-such-option good.y4m
expect 1 'unknown option' unknown-short -q good.y4m
expect 1 'needs a value' missing-value good.y4m --qp
expect 1 'takes no value' flag-with-value --no-sao=1 good.y4m
expect 1 'unexpected argument' three-names good.y4m a.hevc b.hevc

# name|arguments (values out of range or not numbers at all)
while IFS='|' read -r name args; do
  # shellcheck disable=SC2086
  expect 2 'invalid value' "$name" $args good.y4m
done <<'CASES'
qp-above-51|--qp 52
qp-negative|--qp -1
qp-trailing-garbage|--qp 12abc
qp-overflow|--qp=99999999999999999999
qp-empty|--qp=
complexity-9|--complexity 9
complexity-negative|--complexity=-1
tune-unknown|--tune fast
bframes-17|--bframes 17
compat-110|--compat 110
threads-huge|--threads 100000
fps-zero|--fps 0
fps-zero-denominator|--fps 30/0
fps-garbage|--fps 30/1x
input-res-zero|--input-res 0x0
input-res-odd|--input-res 63x64
input-res-huge|--input-res 20000x64
input-res-garbage|--input-res 64*64
frames-negative|--frames -3
keyint-above-library-limit|--keyint 1073741825
merange-3|--merange 3
merange-above-512|--merange 513
subpel-planes-3|--subpel-planes 3
subpel-planes-negative|--subpel-planes=-1
rc-lookahead-251|--rc-lookahead 251
rc-lookahead-negative|--rc-lookahead -1
scenecut-101|--scenecut 101
scenecut-garbage|--scenecut 40x
min-keyint-negative|--min-keyint -2
bitrate-zero|--bitrate 0
crf-above-51|--crf 51.5
crf-negative|--crf -1
crf-exponent|--crf 2e1
crf-two-points|--crf 2.3.4
crf-bare-point|--crf .
vbv-maxrate-zero|--vbv-maxrate 0
vbv-bufsize-garbage|--vbv-bufsize 100k
vbv-init-negative|--vbv-init -0.5
qpmin-52|--qpmin 52
qpmax-negative|--qpmax -1
qpstep-zero|--qpstep 0
ipratio-zero|--ipratio 0
pbratio-garbage|--pbratio fast
qcomp-above-1|--qcomp 1.01
aq-mode-3|--aq-mode 3
speed-mode-4|--speed-mode 4
speed-mode-run-mode-4|--speed-mode 0x3,4x2
speed-mode-run-empty|--speed-mode 3x0
speed-mode-run-no-length|--speed-mode 3x
speed-mode-run-trailing-comma|--speed-mode 3x12,
speed-mode-list-without-lengths|--speed-mode 0,3
speed-mode-nine-runs|--speed-mode 0x1,1x1,2x1,3x1,0x1,1x1,2x1,3x1,0x1
aq-strength-above-3|--aq-strength 3.5
CASES
# Rate-control settings that contradict each other.
expect 2 'qpmin 30 is above --qpmax 20' qp-limits-crossed --qpmin 30 --qpmax 20 good.y4m
expect 2 'needed together' vbv-rate-alone --vbv-maxrate 500 good.y4m
expect 2 'needed together' vbv-size-alone --vbv-bufsize 500 good.y4m
expect 2 'cannot be combined' two-rc-modes --bitrate 500 --crf 20 good.y4m
expect 2 'cannot be combined' lqp-and-crf --crf 20 --lqp good.y4m

# --- files ---------------------------------------------------------------------
expect 3 'cannot open' missing-file does-not-exist.y4m
: >empty.y4m
expect 4 'empty' empty-file empty.y4m
printf 'YUV4MPEG2 W64 H6' >trunc_header.y4m
expect 4 'truncated|end of line' truncated-header trunc_header.y4m
printf 'YUV4MPEG2 W64 H64 F25:1\n' >no_frames.y4m
expect 4 'no complete picture' header-only no_frames.y4m
printf 'YUV4' >short_magic.y4m
expect 4 'YUV4MPEG2|size' cut-magic short_magic.y4m

# name|stream header parameters|expected stderr pattern (all exit code 4)
while IFS='|' read -r name params pattern; do
  y4m "$params" 1 >"bad_$name.y4m"
  expect 4 "$pattern" "$name" "bad_$name.y4m"
done <<'CASES'
missing-width|H64 F25:1|W
missing-height|W64 F25:1|H
non-numeric-height|W64 Habc|malformed
signed-width|W+64 H64|malformed
zero-width|W0 H64|not positive
zero-height|W64 H0|not positive
odd-width|W63 H64|odd
odd-height|W64 H63|odd
absurd-size|W99999 H64|exceeds
overflowing-size|W99999999999999999999 H64|malformed
bad-frame-rate|W64 H64 Fx:1|frame rate
unknown-parameter|W64 H64 Q1|unknown
chroma-422|W64 H64 C422|chroma
chroma-444|W64 H64 C444|chroma
chroma-mono|W64 H64 Cmono|chroma
chroma-10bit|W64 H64 C420p10|chroma
interlaced-top|W64 H64 It|interlaced
interlaced-bottom|W64 H64 Ib|interlaced
interlaced-mixed|W64 H64 Im|interlaced
interlace-garbage|W64 H64 Iz|interlace
width-twice|W64 H64 W32|W parameter twice
rate-twice|W64 H64 F25:1 F30:1|F parameter twice
CASES

{ printf 'YUV4MPEG2 W64 H64\nFRAMX\n'; samples "$PIC"; } >bad_frame_header.y4m
expect 4 'FRAME' bad-frame-header bad_frame_header.y4m
{ printf 'YUV4MPEG2 W64 H64\nFRAME\n'; samples "$PIC"; printf 'GARBAGE\n'; samples "$PIC"; } >bad_second_frame.y4m
expect 4 'FRAME' bad-second-frame-header bad_second_frame.y4m

samples $((PIC * 2)) >nosize.yuv
expect 4 'size' raw-without-size nosize.yuv
samples $((PIC * 2)) >clip_63x64_25.yuv
expect 4 'odd' raw-name-odd-size clip_63x64_25.yuv
samples $((PIC * 2)) >clip_0x64.yuv
expect 4 'not positive' raw-name-zero-size clip_0x64.yuv
samples 100 >clip_64x64.yuv
expect 4 'no complete picture' raw-shorter-than-a-picture clip_64x64.yuv

expect 4 'seek' seek-past-end --seek 5 good.y4m
expect 5 'cannot open output' output-in-missing-folder good.y4m no/such/folder/out.hevc
expect 5 'cannot open reconstruction' recon-in-missing-folder --recon no/such/folder/r.yuv good.y4m out.hevc
expect 5 'overwrite' output-is-input good.y4m good.y4m

# --- accepted variants ------------------------------------------------------------
# name|stream header parameters (frames carry parameters too in one case)
while IFS='|' read -r name params; do
  y4m "$params" 1 >"ok_$name.y4m"
  run "$name" --frames 1 "ok_$name.y4m" "ok_$name.hevc"
  [ "$rc" -eq 0 ] || { fail "$name: exit code $rc"; sed 's/^/    /' err.txt | head -5; }
  [ -s "ok_$name.hevc" ] || fail "$name: empty output"
done <<'CASES'
no-chroma-tag|W64 H64 F25:1
c420|W64 H64 F30000:1001 C420
c420jpeg|W64 H64 F25:1 C420jpeg
c420paldv|W64 H64 C420paldv
c420mpeg2|W64 H64 C420mpeg2
progressive|W64 H64 Ip A1:1
unknown-interlace|W64 H64 I? A0:0 XYSCSS=420JPEG
CASES
{ printf 'YUV4MPEG2 W64 H64 F25:1\n'; printf 'FRAME Ip XFOO=1\n'; samples "$PIC"; } >ok_frame_params.y4m
run frame-parameters ok_frame_params.y4m ok_frame_params.hevc
[ "$rc" -eq 0 ] || fail "frame-parameters: exit code $rc"

# --- truncated last picture: warning, exit 0, complete pictures coded ---------
for kind in y4m raw; do
  if [ $kind = y4m ]; then
    in=cut.y4m
    { y4m "W$W H$H F25:1" 3; printf 'FRAME\n'; samples $((PIC / 2)); } >$in
  else
    in=cut_${W}x${H}_25.yuv
    samples $((PIC * 3 + PIC / 2)) >$in
  fi
  run "truncated-last-picture-$kind" "$in" cut_$kind.hevc
  [ "$rc" -eq 0 ] || { fail "truncated $kind: exit code $rc"; sed 's/^/    /' err.txt | head -5; }
  grep -q -i 'warning' err.txt || fail "truncated $kind: no warning on stderr"
  [ -s cut_$kind.hevc ] || fail "truncated $kind: empty output"
  if [ $have_ffmpeg = 1 ] && [ -s cut_$kind.hevc ]; then
    n=$(decoded_pictures cut_$kind.hevc)
    [ "$n" = 3 ] || { fail "truncated $kind: decoder got $n pictures, expected 3"; head -5 dec_err.txt; }
  fi
done

# --- --frames stops the reading too: the pictures are read ahead of the
# encoder, but never past the last one asked for, so a damaged picture after
# it is no concern (no warning, no error), for --frames 1 to 3.
for n in 1 2 3; do
  run "frames-$n-before-cut" --frames $n cut.y4m cut_frames_$n.hevc
  [ "$rc" -eq 0 ] || fail "--frames $n before a cut picture: exit code $rc"
  grep -q -i 'warning\|error' err.txt && fail "--frames $n before a cut picture: $(head -1 err.txt)"
  if [ $have_ffmpeg = 1 ] && [ -s cut_frames_$n.hevc ]; then
    got=$(decoded_pictures cut_frames_$n.hevc)
    [ "$got" = $n ] || fail "--frames $n before a cut picture: decoder got $got pictures"
  fi
done
{ y4m "W$W H$H F25:1" 2; printf 'FRAMX\n'; samples $PIC; } >bad_third.y4m
run frames-2-before-malformed --frames 2 bad_third.y4m bad_third.hevc
[ "$rc" -eq 0 ] || fail "--frames 2 before a malformed picture: exit code $rc"

# --- SIGINT: stop reading, flush, exit 130 with a complete stream -------------
# A long input so the signal lands mid-run; if the machine is fast enough to
# finish first, exit 0 is just as correct and the stream is checked the same.
{ y4m "W128 H128 F25:1" 0; } >long.y4m
for ((i = 0; i < 400; i++)); do printf 'FRAME\n'; samples $((128 * 128 * 3 / 2)); done >>long.y4m
"$ZIRAVOV" long.y4m long.hevc >out.txt 2>err.txt </dev/null &
pid=$!
sleep 1
kill -INT $pid 2>/dev/null
wait $pid
rc=$?
checks=$((checks + 1))
if [ "$rc" -ne 130 ] && [ "$rc" -ne 0 ]; then
  fail "SIGINT: exit code $rc, expected 130"
  sed 's/^/    /' err.txt | head -5
elif [ $have_ffmpeg = 1 ]; then
  PIC_SAVED=$PIC
  PIC=$((128 * 128 * 3 / 2))
  n=$(decoded_pictures long.hevc)
  [ "$n" -ge 1 ] || { fail "SIGINT: stream not decodable ($n pictures)"; head -5 dec_err.txt; }
  PIC=$PIC_SAVED
fi

echo "$checks runs, $failures failures"
[ "$failures" -eq 0 ]
