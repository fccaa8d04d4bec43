#!/usr/bin/env bash
# Two passes and constant bitrate end to end on a real clip: the first pass's
# statistics file has its format (header and one line per picture, every
# display index once); the second pass reads it, lands near its target and
# its stream decodes in ffmpeg and libde265 to the reconstruction; a second
# pass with more pictures than the file is refused before it codes any;
# the second pass takes the file's picture types where they keep a valid
# structure;
# a second pass at three times or a third of its first pass's rate still
# lands near its target (the plan's sizes fit this encoder's pictures);
# under VBV (the decoder's buffer followed from the streams' pictures by
# vbv_buffer.py) two passes keep the buffer filled and never below empty:
# 40 pictures with a cut at picture 20 and default settings at 1, 4 and 8
# threads (within 5% of the target with a buffer of one second and of half
# a second), flower at 10 pictures a second and 100 kb/s in a 50 kbit
# buffer with the default B pictures (four, the most this buffer lets a run
# have), three and none, each above a Y-PSNR floor (bits spent where they
# buy nothing fail it), 60 pictures with three B pictures and a key
# picture every 25, the same at 80 kb/s in 40 kbit over 300 pictures, and
# 300 with three B pictures and a key picture every 50, the same at 110
# kb/s in 55 kbit and at 60 kb/s in 30 kbit with one every 250 (P pictures
# whose rows fall below their first row's QP), and flower 352x208 at 45
# kb/s in 22 kbit (pictures in flight that take more than they were counted
# at, which the rows catch); in a buffer of about one
# picture started below its refill (bus all intra) the first picture's plan
# is the fill it finds, and it leaves a tenth of the buffer, and P pictures
# whose plans counted the pictures in flight short keep above empty (flower
# in a buffer of one picture); a zero-latency
# first pass does not follow the machine's load (pictures declared at 1000
# a second all in speed mode 0); under --cbr the stream decodes too, the
# rate stays within 6% of its target (24 pictures, the last seven steering
# towards the window's targets: +2%; planned on the model alone, 8% below)
# and each P picture's QP stays within 3 of its reference's.
set -u
here=$(cd "${SCRIPTS:-$(dirname "$0")}" && pwd)
# shellcheck source=conformance_lib.sh
. "$here/conformance_lib.sh"
conf_init
conf_need_clips foreman_cif_60f.y4m bus_cif_17f.y4m flower_720p_30f.y4m
foreman=$CLIPS/foreman_cif_60f.y4m
fail() { conf_fail "$1" "${*:2}"; }

# --- first pass: the file's format
conf_encode pass1 "$foreman" --pass 1 --stats stats.log --bitrate 400 --frames 24 --complexity 0
head -n 1 stats.log | grep -qE '^width=352 height=288 idr-period=[0-9]+ opengop=[01] bframes=[0-9]+ fps=30000/1001 lookahead=[0-9]+ scenecut=[0-9]+$' ||
  fail format "header line: $(head -n 1 stats.log)"
bad=$(tail -n +2 stats.log | grep -vcE '^[0-9]+ play:[0-9]+ qp:[0-9]+\.[0-9]{2} [0-9]+\.[0-9]{2} bits: [0-9]+ [0-9]+ [0-9]+ cu_count:[0-9]+ [0-9]+ type:(idr|cra|i|p|bref|b)$')
[ "$bad" -eq 0 ] || fail format "$bad picture lines out of format: $(tail -n +2 stats.log | head -n 2)"
played=$(tail -n +2 stats.log | sed 's/.* play:\([0-9]*\) .*/\1/' | sort -n | tr '\n' ' ')
[ "$played" = "$(seq 0 23 | tr '\n' ' ')" ] || fail format "display indices: $played"
[ "$(tail -c 1 stats.log | od -An -c | tr -d ' ')" = '\n' ] || fail format "the file does not end in a line feed"

# --- second pass: conformance and the target
if conf_encode pass2 "$foreman" --pass 2 --stats stats.log --bitrate 400 --frames 24 --complexity 0; then
  conf_decode_check pass2 352 288 24
  dev=$(sed -n 's/^bitrate .*(\([-+0-9.]*\)%)$/\1/p' pass2.out)
  awk -v d="${dev:-999}" 'BEGIN { exit !(d >= -25 && d <= 25) }' || fail pass2 "rate ${dev:-?}% off its target"
fi

# --- the second pass codes each picture with the first pass's type: a file
# whose types differ from what the decision would choose (P pictures at 1
# and 12, a key picture at 13) is followed without a type warning; a file of
# B pictures only cannot make a B run longer than --bframes or one with no
# later reference, and still decodes
awk 'NR > 1 && ($2 == "play:1" || $2 == "play:12") { sub(/type:[a-z]*$/, "type:p") }
     NR > 1 && $2 == "play:13" { sub(/type:[a-z]*$/, "type:idr") } { print }' stats.log >planned.log
if conf_encode planned "$foreman" --pass 2 --stats planned.log --bitrate 400 --frames 24 --complexity 0 --log-level 2; then
  conf_decode_check planned 352 288 24
  ! grep -q 'Frame type of 2nd pass stats' planned.err || fail planned "$(grep -m 1 'Frame type' planned.err)"
  types=$(awk '$1 == "frame" && ($2 == 1 || $2 == 12 || $2 == 13) { print $2 ":" $4 }' planned.err | sort -n | tr '\n' ' ')
  [ "$types" = "1:4 12:4 13:1 " ] || fail planned "types of pictures 1, 12, 13: $types"
fi
awk 'NR > 2 { sub(/type:[a-z]*$/, "type:b") } { print }' stats.log >all_b.log
conf_encode all_b "$foreman" --pass 2 --stats all_b.log --bitrate 400 --frames 24 --complexity 0 &&
  conf_decode_check all_b 352 288 24

# --- a file with fewer pictures than the second pass codes is refused
# before any picture is coded
timeout 300 "$ZIRAVOV" --pass 2 --stats stats.log --bitrate 400 --frames 40 --complexity 0 "$foreman" more.hevc \
  >more.out 2>more.err </dev/null
rc=$?
[ $rc -eq 9 ] || fail incomplete "exit code $rc, expected 9"
grep -q 'holds 24 pictures, but 40 are to be coded' more.err || fail incomplete "no count in: $(head -n 3 more.err)"
[ ! -e more.hevc ] || fail incomplete "an output was written"

# --- the plan's sizes: first pass at 400 kb/s, second passes at a third
# and three times that, with and without B pictures (60 pictures, where
# the correction by the bits so far starts late)
for b in 7 0; do
  "$ZIRAVOV" --pass 1 --stats scaled$b.log --bitrate 400 --bframes $b --complexity 0 --threads 1 "$foreman" \
    scaled1.hevc >/dev/null 2>&1 || fail scaled "first pass: exit code $?"
  for kbps in 133 1200; do
    "$ZIRAVOV" --pass 2 --stats scaled$b.log --bitrate $kbps --bframes $b --complexity 0 --threads 1 "$foreman" \
      scaled.hevc >scaled.out 2>&1 || fail scaled "second pass at $kbps: exit code $?"
    dev=$(sed -n 's/^bitrate .*(\([-+0-9.]*\)%)$/\1/p' scaled.out)
    echo "--bframes $b: second pass at $kbps kb/s from a first at 400: ${dev:-?}%"
    awk -v d="${dev:-999}" 'BEGIN { exit !(d >= -6 && d <= 6) }' ||
      fail scaled "--bframes $b at $kbps kb/s: ${dev:-?}% off its target"
  done
done

# --- two passes under VBV.  40 pictures of foreman and bus (a cut at
# picture 20); flower 640x360 forwards and backwards at 10 pictures a
# second, 300 pictures
ffmpeg -nostdin -v error -y -i "$foreman" -i "$CLIPS/bus_cif_17f.y4m" -filter_complex \
  "[0:v]trim=end_frame=20,setpts=PTS-STARTPTS[a];[1:v]split=2[b1][b2];[b2]reverse[br];[b1][br]concat=n=2:v=1,trim=end_frame=20,setpts=PTS-STARTPTS[b];[a][b]concat=n=2:v=1[v]" \
  -map "[v]" -f yuv4mpegpipe cut40.y4m || fail vbv "could not make the cut clip"
ffmpeg -nostdin -v error -y -i "$CLIPS/flower_720p_30f.y4m" -filter_complex \
  "[0:v]scale=640:360,split=2[a][b];[b]reverse[r];[a][r]concat=n=2:v=1,loop=loop=4:size=60:start=0,setpts=N/(10*TB)[v]" \
  -map "[v]" -r 10 -frames:v 300 -f yuv4mpegpipe flower.y4m || fail vbv "could not make the flower clip"
# flower 352x208 looped the same way (cbr_clip.py), 300 pictures at 10 a second
ffmpeg -nostdin -v error -y -i "$CLIPS/flower_720p_30f.y4m" -vf scale=352:208 -pix_fmt yuv420p flower_s.y4m &&
  python3 "$here/cbr_clip.py" flower_s300.y4m 10:1 flower_s.y4m:300 || fail vbv "could not make flower 352x208"
# two_passes NAME INPUT ARGS...: both passes with the same settings
two_passes() {
  local name=$1 input=$2
  shift 2
  "$ZIRAVOV" --pass 1 --stats "$name.log" "$@" "$input" "$name.p1.hevc" >/dev/null 2>&1 &&
    "$ZIRAVOV" --pass 2 --stats "$name.log" "$@" --recon "$name.rec.yuv" "$input" "$name.hevc" >"$name.out" 2>&1
  echo $? >"$name.rc"
}
# (flower: a P picture far below the coarse P picture it predicts from
# took the whole buffer here)
# (with three B pictures and without any, P pictures stepping down from a
# key picture the buffer held up code again what their coarser references
# lost, and ran it dry)
{
  two_passes flower flower.y4m --bitrate 100 --vbv-maxrate 100 --vbv-bufsize 50 --complexity 4 --threads 1
  two_passes flower_b3 flower.y4m --bitrate 100 --vbv-maxrate 100 --vbv-bufsize 50 --complexity 4 --threads 1 \
    --bframes 3
  two_passes flower_b0 flower.y4m --bitrate 100 --vbv-maxrate 100 --vbv-bufsize 50 --complexity 1 --threads 1 \
    --bframes 0 --keyint 25
  # (P pictures among B pictures, stepping down from the P pictures a key
  # picture every 25 held up, took more than either of their two sizes)
  two_passes flower_k25 flower.y4m --bitrate 100 --vbv-maxrate 100 --vbv-bufsize 50 --complexity 4 --threads 1 \
    --bframes 3 --keyint 25 --frames 60
  two_passes flower_80 flower.y4m --bitrate 80 --vbv-maxrate 80 --vbv-bufsize 40 --complexity 4 --threads 1 \
    --bframes 3 --keyint 25
  # (a P picture in flight that ran over its plan left the next P picture
  # less of the buffer than it counted on; with the P pictures after key
  # pictures sized by their predictor, the last P picture counted the one
  # before it, in flight, at less than it took and ran the buffer dry)
  two_passes flower_k50 flower.y4m --bitrate 100 --vbv-maxrate 100 --vbv-bufsize 50 --complexity 4 --threads 1 \
    --bframes 3 --keyint 50
  # (P pictures whose rows fell below row 0 for their plan: past half the
  # fill at 60 kb/s, and more than two QPs at 110, they took up to 2.3
  # times what the rows foretold and ran the buffer dry)
  two_passes flower_60 flower.y4m --bitrate 60 --vbv-maxrate 60 --vbv-bufsize 30 --complexity 4 --threads 1 \
    --bframes 3
  two_passes flower_110 flower.y4m --bitrate 110 --vbv-maxrate 110 --vbv-bufsize 55 --complexity 4 --threads 1 \
    --bframes 3 --keyint 50
  # (the P pictures in flight counted at their plans: a P picture that ran
  # over left the next one less than it counted on, 2.9% of the buffer
  # below empty)
  two_passes flower_90 flower.y4m --bitrate 90 --vbv-maxrate 90 --vbv-bufsize 45 --complexity 4 --threads 1 \
    --bframes 3
  # (P and B pictures in flight took up to 1.35 times their plans, and the
  # P picture planned beside them ran the buffer 16% of its size dry: the
  # rows hold it to the fill they know, and its two sizes added up stay
  # within a fifth over the fill its plan counts; unbounded, 14% dry)
  two_passes flower_s45 flower_s300.y4m --bitrate 45 --vbv-maxrate 45 --vbv-bufsize 22 --complexity 4 --threads 1
  # (P pictures whose rows fell into what the buffer would spill by the end
  # of their B run, their predictions growing as 1/q: 13% of the buffer
  # below empty)
  two_passes flower_s70 flower_s300.y4m --bitrate 70 --vbv-maxrate 70 --vbv-bufsize 35 --complexity 4 --threads 1 \
    --bframes 3
  # (P pictures whose rows fell two QPs below row 0 whatever the fill:
  # 0.1% of the buffer left)
  two_passes flower_s80 flower_s300.y4m --bitrate 80 --vbv-maxrate 80 --vbv-bufsize 40 --complexity 4 --threads 1
} &
flower_job=$!
for t in 1 4 8; do
  two_passes half_t$t cut40.y4m --bitrate 300 --vbv-maxrate 300 --vbv-bufsize 150 --threads $t &
  two_passes second_t$t cut40.y4m --bitrate 300 --vbv-maxrate 300 --vbv-bufsize 300 --threads $t
  wait $!
done
# buffer_line NAME KBPS BUFFER FPS LEAST MOST [DB]: the buffer's line, and a
# failure where a picture ran it dry, the rate fell outside LEAST..MOST
# percent of KBPS or the Y-PSNR the encoder reports fell below DB
buffer_line() {
  local name=$1 kbps=$2 size=$3 fps=$4 least=$5 most=$6 db=${7:-0} line y
  [ "$(cat "$name.rc")" = 0 ] || { fail "$name" "exit code $(cat "$name.rc")"; return; }
  line=$(python3 "$here/vbv_buffer.py" "$name.hevc" "$kbps" "$size" "$fps")
  echo "$name: $line"
  case $line in *" under=0 "*) ;; *) fail "$name" "pictures below empty: $line" ;; esac
  awk -v l="$line" -v k="$kbps" -v lo="$least" -v hi="$most" 'BEGIN {
    split(l, f, /kbps=| /); d = 100 * (f[2] / k - 1); exit !(d >= lo && d <= hi) }' ||
    fail "$name" "rate outside $least..$most% of $kbps: $line"
  y=$(sed -n 's/^PSNR y:\([0-9.]*\) .*/\1/p' "$name.out")
  [ "$db" = 0 ] || echo "$name: Y-PSNR $y dB"
  awk -v y="${y:-0}" -v d="$db" 'BEGIN { exit !(y >= d) }' || fail "$name" "Y-PSNR ${y:-?} dB below $db"
}
for t in 1 4 8; do buffer_line half_t$t 300 150 29.97 -5 5; done
for t in 1 4 8; do buffer_line second_t$t 300 300 29.97 -5 5; done
# the second passes' streams decode in both decoders to their reconstruction
# (beside the cases below; waited for at the end)
for t in 1 4 8; do conf_decode_check half_t$t 352 288 40; conf_decode_check second_t$t 352 288 40; done &

# --- a zero-latency first pass codes every picture in speed mode 0, even
# where it falls behind its input (24 pictures declared at 1000 a second);
# the second pass follows it
ffmpeg -nostdin -v error -y -i "$foreman" -frames:v 24 -vf "setpts=N/(1000*TB)" -r 1000 -f yuv4mpegpipe fast.y4m ||
  fail fast "could not make the clip"
conf_encode fast1 fast.y4m --pass 1 --stats fast.log --bitrate 8000 --tune zerolatency --frames 24 --complexity 4 &&
  conf_encode fast2 fast.y4m --pass 2 --stats fast.log --bitrate 8000 --tune zerolatency --frames 24 --complexity 4 &&
  conf_decode_check fast2 352 288 24
modes=$(tail -n +2 fast.log | grep -o ' speed:[0-9]' | sort | uniq -c | tr -s ' ' | tr '\n' ',')
echo "zero-latency first pass at 1000 pictures a second: $modes"
[ "$modes" = " 24 speed:0," ] || fail fast "speed modes of the first pass: $modes"

# --- a buffer of about one picture (bus all intra, 650 kb/s in 21 kbit,
# started at 0.9 of its size, below one picture's refill): a picture's plan
# is the refill but no more than the fill it starts with.  Planned at the
# refill, the first picture took 17.7 kbit of the 18.9 it found and left
# 0.058 of the buffer; so held, 15.7 kbit and 0.13
two_passes one_picture "$CLIPS/bus_cif_17f.y4m" --bitrate 650 --vbv-maxrate 650 --vbv-bufsize 21 --keyint 1 --threads 1
if [ "$(cat one_picture.rc)" = 0 ]; then
  line=$(python3 "$here/vbv_buffer.py" one_picture.hevc 650 21 29.97)
  echo "one_picture: $line"
  awk -v l="$line" 'BEGIN { split(l, f, /lowest=| /); exit !(f[3] >= 0.1) }' ||
    fail one_picture "the buffer fell below a tenth of its size: $line"
  conf_decode_check one_picture 352 288 17
else
  fail one_picture "exit code $(cat one_picture.rc)"
fi

# --- a second pass in a buffer of one picture (10 kbit raised to 18 at 7/3
# pictures a second, eight pictures of flower, none of them B pictures):
# its second P picture was planned at QP 38 beside the pictures in flight
# counted at their plans and took 23.7 kbit; the rows hold it to the fill
# they know (31% of the buffer left)
tiny="--frames 8 --complexity 5 --bframes 7 --hierarchy 2 --open-gop --fps 7/3 --bitrate 40 --vbv-maxrate 40
  --vbv-bufsize 10 --ipratio 0.01 --pbratio 100 --aq-mode 2 --no-sao --threads 1"
# shellcheck disable=SC2086
two_passes one_picture_p flower.y4m $tiny
if [ "$(cat one_picture_p.rc)" = 0 ]; then
  line=$(python3 "$here/vbv_buffer.py" one_picture_p.hevc 40 18 2.3333)
  echo "one_picture_p: $line"
  case $line in *" under=0 "*) ;; *) fail one_picture_p "pictures below empty: $line" ;; esac
  conf_decode_check one_picture_p 640 360 8
else
  fail one_picture_p "exit code $(cat one_picture_p.rc)"
fi

# --- constant bitrate
if conf_encode cbr "$foreman" --cbr --bitrate 600 --frames 24 --complexity 0 --log-level 2; then
  conf_decode_check cbr 352 288 24
  dev=$(sed -n 's/^bitrate .*(\([-+0-9.]*\)%)$/\1/p' cbr.out)
  awk -v d="${dev:-999}" 'BEGIN { exit !(d >= -6 && d <= 6) }' || fail cbr "rate ${dev:-?}% off its target"
  # "frame N type T qp Q": a P picture's reference is the anchor (I or P)
  # shown last before it; its QP counts on the P scale (+3 for an intra
  # one with the default --ipratio); the picture QPs are rounded.  The
  # first P picture takes its model's QP, the next three stay within 6 of
  # their reference's, the others within 3.
  awk '$1 == "frame" { print $2, $4, $6 }' cbr.err | sort -n | awk '
    $2 <= 3 { ref = $3 + 3; have = 1; next }
    $2 == 4 { step = ++p > 4 ? 3 : 6
              if (have && p > 1 && ($3 < ref - step - 1 || $3 > ref + step + 1)) {
                print "picture " $1 " QP " $3 " against " ref; bad = 1 }
              ref = $3; have = 1 }
    END { exit bad }' >pqp.txt || fail cbr "P QP outside [r-3, r+3]: $(head -n 3 pqp.txt)"
fi

# --- flower under VBV (started above): no picture below empty
wait $flower_job
# (B pictures let back to their plan, or a key picture left less than the
# plan kept for it, cost 0.6-1.5 dB here for as many bits or more; the
# rest of the rate spills from a full buffer after each B run: 23-25% below
# it with B pictures, 19% without; P pictures among B pictures held to a
# share of the fill as well, 31% below; P pictures' rows held at row 0's
# QP, 26-28% and 21% below; the P picture after a key picture checked by
# its first pass's size, 22.8% below at 35.06 dB and, with a key picture
# every 25, 37.5% below; with the rows holding each picture to the fill
# they know, the sum of a P picture's two sizes may pass the fill by a
# fifth: held to the fill, 23% below)
buffer_line flower 100 50 10 -19 5 35.1
buffer_line flower_b3 100 50 10 -26.5 5 35.1
# (flower_b0: rows not held after their split columns to the fill they
# know, 19.6% below at 31.47 dB where 18.9% at 31.51)
buffer_line flower_b0 100 50 10 -19.3 5 31.2
buffer_line flower_k25 100 50 10 -35 5
buffer_line flower_80 80 40 10 -35.5 5
buffer_line flower_k50 100 50 10 -31.5 5
buffer_line flower_60 60 30 10 -28 5
buffer_line flower_110 110 55 10 -31 5
buffer_line flower_90 90 45 10 -27 5
# (flower_s45: P pictures that may not spend what the buffer would spill
# by the end of their B run, 30% below the rate; spending it, 26%)
buffer_line flower_s45 45 22 10 -28 5
buffer_line flower_s70 70 35 10 -28 5
buffer_line flower_s80 80 40 10 -25 5
s80_low=$(python3 "$here/vbv_buffer.py" flower_s80.hevc 80 40 10 | sed -n 's/.*lowest=\([-0-9.]*\).*/\1/p')
awk -v f="${s80_low:--1}" 'BEGIN { exit !(f >= 0.05) }' || fail flower_s80 "lowest fill $s80_low, under 0.05"
# the picture before the key picture at 250 left the buffer the plan kept
# for it: at least a fifth of it remains after the key picture
after_key=$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import vbv_buffer as v
fill = 45000
for i, b in enumerate(v.access_units(open(sys.argv[2], "rb").read())):
    fill -= 8 * b
    if i == 250: print(round(fill / 50000, 3)); break
    fill = min(50000, fill + 10000)' "$here" flower.hevc)
echo "flower: buffer after the key picture at 250: $after_key"
awk -v f="${after_key:--1}" 'BEGIN { exit !(f >= 0.2) }' || fail flower "buffer after the key picture: $after_key"
for name in flower flower_b3 flower_b0 flower_80 flower_60 flower_110 flower_90; do conf_decode_check $name 640 360 300 & done
conf_decode_check flower_k25 640 360 60
conf_decode_check flower_s45 352 208 300
conf_decode_check flower_s70 352 208 300
conf_decode_check flower_s80 352 208 300
wait

failed=$(ls ./*.fail 2>/dev/null | wc -l)
[ "$failed" -eq 0 ] || { echo "$failed case(s) failed"; exit 1; }
echo "all two-pass and CBR cases passed"
