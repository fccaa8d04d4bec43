#!/usr/bin/env bash
# Scene cuts on real content: a clip joined from the first 12 pictures of
# foreman and 8 of bus gets its key picture exactly at the join (12),
# with a P picture just before it under a closed GOP and B leading pictures
# under an open one; one picture of bus inside foreman (a flash) gets none
# (but without B pictures, which leave nothing to confirm a cut over); a cut
# into bus 20 pictures in, late in a B run of 5, gets its key picture, and
# one 40 pictures in with 16 B pictures;
# --scenecut 0 keeps key pictures to the period.  The streams decode in
# ffmpeg and libde265 to the reconstruction, and 1 and 8 threads (and so
# lookahead pool threads) give the same bytes.  The CU-tree's offsets reach
# the CTU QPs in constant-QP mode with AQ in effect: the key and P pictures
# are coded below their slice QP (but the last), the B pictures no reference
# leans on at it, and --no-cutree codes every CTU at the slice QP.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"
conf_init
conf_need_clips foreman_cif_60f.y4m bus_cif_17f.y4m

# frames_of CLIP FIRST COUNT: COUNT pictures of a 352x288 YUV4MPEG2 clip
# from picture FIRST, with their FRAME lines.
frame_bytes=$((6 + 352 * 288 * 3 / 2))
frames_of() {
  local clip=$CLIPS/$1 header
  header=$(head -n 1 "$clip" | wc -c)
  tail -c +$((header + 1 + $2 * frame_bytes)) "$clip" | head -c $(($3 * frame_bytes))
}
{ head -n 1 "$CLIPS/foreman_cif_60f.y4m"; frames_of foreman_cif_60f.y4m 0 12; frames_of bus_cif_17f.y4m 0 8; } >joined.y4m
{ head -n 1 "$CLIPS/foreman_cif_60f.y4m"; frames_of foreman_cif_60f.y4m 0 12; frames_of bus_cif_17f.y4m 5 1
  frames_of foreman_cif_60f.y4m 13 7; } >flash.y4m
# A cut into bus's fast pan late in a B run of 5: bus differs from its own
# picture 4 ahead as much as from foreman.
{ head -n 1 "$CLIPS/foreman_cif_60f.y4m"; frames_of foreman_cif_60f.y4m 0 20; frames_of bus_cif_17f.y4m 0 10; } >late.y4m
# A cut 40 pictures in, more than a run of sixteen B pictures before the
# end of the input.
{ head -n 1 "$CLIPS/foreman_cif_60f.y4m"; frames_of foreman_cif_60f.y4m 0 40; frames_of bus_cif_17f.y4m 0 17; } >far.y4m

# types NAME: "number:type" of every coded picture in display order.
types() { grep -o '^frame [0-9]* type [0-9]' "$1.err" | awk '{print $2 ":" $4}' | sort -n | tr '\n' ' '; }

# check NAME INPUT PICTURES EXPECTED-KEYS [ARGS]: keys are "number:type"
# pairs that must be all the key pictures (types 1 IDR, 2 CRA).
check() {
  local name=$1 input=$2 pictures=$3 keys=$4
  shift 4
  conf_encode "$name" "$input" --log-level 2 --qp 32 --complexity 4 --threads 1 "$@" || return
  local got
  got=$(types "$name" | tr ' ' '\n' | grep -E ':(1|2)$' | tr '\n' ' ')
  [ "$got" = "$keys" ] || conf_fail "$name" "key pictures '$got', expected '$keys'"
  echo "$name: $(types "$name")"
  conf_decode_check "$name" 352 288 "$pictures"
}

common="--bframes 3 --rc-lookahead 8 --keyint 250"
# The cases run side by side; each leaves NAME.fail behind when it fails.
check closed joined.y4m 20 "0:1 12:1 " $common --scenecut 40 --no-open-gop &
check open joined.y4m 20 "0:2 12:2 " $common --scenecut 40 --open-gop &
check flash flash.y4m 20 "0:1 " $common --scenecut 40 &
check off joined.y4m 20 "0:1 " $common --scenecut 0 &
check period joined.y4m 20 "0:1 8:1 16:1 " $common --scenecut 0 --keyint 8 &
check p_only joined.y4m 20 "0:1 12:1 " --bframes 0 --rc-lookahead 4 --scenecut 40 &
check late_cut late.y4m 30 "0:1 20:1 " --bframes 5 --rc-lookahead 12 --keyint 250 --scenecut 40 --no-open-gop &
# Sixteen B pictures put the far end of the run beyond the lookahead's
# estimates: a cut is still found (at complexity 1 also by the cheap test
# that decides whether to search), and a flash still is none.
b16="--bframes 16 --rc-lookahead 20 --keyint 250 --scenecut 40 --no-open-gop"
check b16_cut far.y4m 57 "0:1 40:1 " $b16 &
check b16_cut_fast far.y4m 57 "0:1 40:1 " $b16 --complexity 1 &
check b16_flash flash.y4m 20 "0:1 " $b16 &
# Without B pictures nothing confirms a cut: the flash and the picture after
# it both start one.
check p_only_flash flash.y4m 20 "0:1 12:1 13:1 " --bframes 0 --rc-lookahead 4 --scenecut 40 &
"$ZIRAVOV" --log-level 0 --qp 32 --complexity 4 $common --scenecut 40 --no-open-gop --threads 8 joined.y4m \
  threads8.hevc >/dev/null 2>&1 || conf_fail threads "exit code $?"
wait
types closed | grep -q ' 11:4 ' || conf_fail closed "picture 11 is not P: $(types closed)"
types open | grep -q ' 11:6 ' || conf_fail open "picture 11 is not a leading B picture: $(types open)"
cmp -s closed.hevc threads8.hevc || conf_fail threads "8 threads give another stream than 1"

# coded_vs_slice NAME TYPE: "below", "equal" or "above" for every picture of
# that type: its mean coded CTU QP (avg-qp) against its slice QP.
coded_vs_slice() {
  awk -v t="$2" '$1 == "frame" && $4 == t { for (i = 1; i < NF; i++) if ($i == "avg-qp") a = $(i + 1)
    print (a < $6 ? "below" : a > $6 ? "above" : "equal") }' "$1.err" | sort -u | tr '\n' ' '
}
# (AQ in effect at strength 0: the CTU QPs take offsets, AQ gives none.)
aq0="--aq-mode 1 --aq-strength 0"
check cutree joined.y4m 20 "0:1 12:1 " $common --scenecut 40 --no-open-gop $aq0 &
check no_cutree joined.y4m 20 "0:1 12:1 " $common --scenecut 40 --no-open-gop --no-cutree $aq0 &
# The offsets, like the estimates, are the same on 8 threads and without
# vector kernels.
for run in "8|--threads 8" "cpu0|--threads 1 --cpu-flags 0"; do
  # shellcheck disable=SC2086
  "$ZIRAVOV" --log-level 0 --qp 32 --complexity 4 $common --scenecut 40 --no-open-gop $aq0 ${run#*|} joined.y4m \
    "cutree_${run%%|*}.hevc" >/dev/null 2>&1 || conf_fail "cutree_${run%%|*}" "exit code $?" &
done
wait
for run in 8 cpu0; do
  cmp -s cutree.hevc "cutree_$run.hevc" || conf_fail "cutree_$run" "another stream than 1 thread with every kernel"
done
cmp -s cutree.hevc no_cutree.hevc && conf_fail cutree "--no-cutree gives the same stream"
[ "$(coded_vs_slice cutree 1)" = "below " ] || conf_fail cutree "key pictures: $(coded_vs_slice cutree 1)"
# (The last P picture has nothing after it to lean on it.)
[[ "$(coded_vs_slice cutree 4)" == below* ]] || conf_fail cutree "P pictures: $(coded_vs_slice cutree 4)"
[ "$(coded_vs_slice cutree 6)" = "equal " ] || conf_fail cutree "type 6: $(coded_vs_slice cutree 6)"
for t in 1 4 5 6; do
  [ "$(coded_vs_slice no_cutree $t)" = "equal " ] || conf_fail no_cutree "type $t: $(coded_vs_slice no_cutree $t)"
done
# The log's mean CU-tree offset of a picture: logged for the key, P and
# reference B pictures, never for plain B pictures, never without the
# CU-tree; never positive, and a picture whose mean is below -0.5 has its
# coded QPs below its slice QP (it is this picture's own offsets that its
# CTUs take; skipped CUs keep the predicted QP, so the two means differ).
offsets_vs_coded() {
  awk '$1 == "frame" { c = ""; for (i = 1; i < NF; i++) { if ($i == "avg-qp") a = $(i + 1); if ($i == "cutree") c = $(i + 1) }
    if (c == "") { print $4 ":none"; next }
    print $4 ":" (c > 0 ? "raised" : c < -0.5 && a >= $6 ? "not-coded-lower" : "lowered") }' "$1.err" |
    sort -u | tr '\n' ' '
}
[ "$(offsets_vs_coded cutree)" = "1:lowered 4:lowered 5:lowered 6:none " ] ||
  conf_fail cutree "logged offsets: $(offsets_vs_coded cutree)"
[ "$(offsets_vs_coded no_cutree)" = "1:none 4:none 5:none 6:none " ] ||
  conf_fail no_cutree "logged offsets: $(offsets_vs_coded no_cutree)"

# Pictures too small for any half-resolution block to be searched (8x8,
# 72x8) give no sign of a cut: only the first is a key picture.
for size in 8x8 72x8; do
  w=${size%x*} h=${size#*x}
  { printf 'YUV4MPEG2 W%d H%d F25:1\n' "$w" "$h"
    for ((i = 0; i < 12; i++)); do printf 'FRAME\n'; head -c $((w * h * 3 / 2)) /dev/urandom; done; } >"tiny$size.y4m"
  "$ZIRAVOV" --log-level 2 --qp 30 --bframes 0 --rc-lookahead 8 --scenecut 40 "tiny$size.y4m" "tiny$size.hevc" \
    >/dev/null 2>"tiny$size.err" || conf_fail "tiny$size" "exit code $?"
  keys=$(grep -c -E '^frame [0-9]+ type (1|2)' "tiny$size.err")
  [ "$keys" -eq 1 ] || conf_fail "tiny$size" "$keys key pictures in 12 noise pictures"
done

# The lookahead's memory is fixed by --rc-lookahead, not by the input's
# length: 30 and 300 small pictures peak at the same resident size.
if [ -x /usr/bin/time ]; then
  small() { # small PICTURES: a 64x64 clip of changing flat pictures
    local i
    printf 'YUV4MPEG2 W64 H64 F25:1\n'
    for ((i = 0; i < $1; i++)); do
      printf 'FRAME\n'
      head -c 6144 /dev/zero | tr '\0' "\\$(printf '%03o' $((i * 7 % 200 + 20)))"
    done
  }
  small 30 >short.y4m
  small 300 >long.y4m
  for n in short long; do
    /usr/bin/time -f %M -o "$n.rss" "$ZIRAVOV" --log-level 0 --complexity 0 --threads 2 --bframes 3 \
      --rc-lookahead 20 --scenecut 40 "$n.y4m" "$n.hevc" >/dev/null 2>&1 || conf_fail memory "$n: exit code $?"
  done
  short_kb=$(tail -n 1 short.rss) long_kb=$(tail -n 1 long.rss)
  [ "$long_kb" -le $((short_kb + short_kb / 10 + 2048)) ] ||
    conf_fail memory "300 pictures peak at $long_kb KB, 30 at $short_kb KB"
fi
conf_finish
