#!/usr/bin/env bash
# Two passes and constant bitrate end to end on a real clip: the first pass's
# statistics file has its format (header and one line per picture, every
# display index once); the second pass reads it, lands near its target and
# its stream decodes in ffmpeg and libde265 to the reconstruction; a second
# pass with more pictures than the file is refused before it codes any;
# the second pass takes the file's picture types where they keep a valid
# structure;
# under --cbr the stream decodes too, the rate stays near its target and
# each P picture's QP stays within 3 of its reference's.
set -u
# shellcheck source=conformance_lib.sh
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"
conf_init
conf_need_clips foreman_cif_60f.y4m
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

# --- constant bitrate
if conf_encode cbr "$foreman" --cbr --bitrate 600 --frames 24 --complexity 0 --log-level 2; then
  conf_decode_check cbr 352 288 24
  dev=$(sed -n 's/^bitrate .*(\([-+0-9.]*\)%)$/\1/p' cbr.out)
  awk -v d="${dev:-999}" 'BEGIN { exit !(d >= -15 && d <= 15) }' || fail cbr "rate ${dev:-?}% off its target"
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

failed=$(ls ./*.fail 2>/dev/null | wc -l)
[ "$failed" -eq 0 ] || { echo "$failed case(s) failed"; exit 1; }
echo "all two-pass and CBR cases passed"
