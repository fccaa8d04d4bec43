#!/usr/bin/env bash
# P and B pictures end to end: every picture structure ziravov offers (B runs
# of 0, 3 and 7, the three B pyramids, open and closed GOPs, key intervals
# from all-intra to a single key picture) on real clips and on moving
# synthetic pictures of awkward sizes, at QPs from 0 to 51, and the random
# inter decisions (partitions, merge, reference choice, vectors far outside
# the picture, bi-prediction) over many seeds.  ffmpeg and libde265 must both
# decode exactly the reconstruction ziravov wrote.
#
# The stream must also have the structure asked for.  The picture types, in
# display order, are compared with a small model of the placement rules.  A
# P picture is told from a B picture by its place in decoding order, not by
# its slice type (from complexity 3 on, without a latency tune, P pictures
# are sent as B slices whose second list repeats the first): it is decoded
# before every picture that follows it in display order.  Its slice type is
# checked apart: P below complexity 3 or under a tune, B otherwise.  The
# placement rules: key pictures every --keyint pictures; between them a P
# picture after every run of --bframes B pictures; a run cut short by a
# closed-GOP key picture or by the end of the input ends in a P picture,
# while under an open GOP it becomes the leading pictures of the CRA.  Close
# to the end of the input (fewer than min(2 * bframes + 2, keyint / 3)
# pictures left) a key picture is not worth its cost and may be left out,
# depending on how far the lookahead saw; from the picture before such a key
# position on, only the general rules are checked (no B picture last, no run
# longer than --bframes, no key picture elsewhere).  The NAL unit types must
# agree: IDR key pictures for closed GOPs, CRA ones (after the first) for
# open GOPs, each with the B pictures just before it as leading pictures.
# Scene-cut detection is off (--scenecut 0: small and noisy inputs look like
# cuts), so no other key picture is added; test_scenecut covers cuts.
#
# RANDOM_SEED_BASE shifts the random-decision seeds (default 1); a failing
# case's name holds its seed and its replay line is printed.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

command -v ffprobe >/dev/null 2>&1 || { echo "ffprobe not found: skipped"; exit 77; }
conf_init
base=${RANDOM_SEED_BASE:-1}
seeds=48

have_clip() { [ -n "${CLIPS:-}" ] && [ -r "$CLIPS/$1" ]; }

# inter_model N KEYINT BFRAMES OPEN: the expected picture types in display
# order, one letter each, if no key picture is left out near the end.
inter_model() {
  local n=$1 k=$2 b=$3 open=$4 p start end
  local -a t
  for ((p = 0; p < n; p++)); do
    if ((p == 0 || (k > 0 && p % k == 0))); then t[p]=I; else t[p]=B; fi
  done
  for ((start = 0; start < n; start = end)); do
    for ((end = start + 1; end < n; end++)); do [ "${t[end]}" = I ] && break; done
    for ((p = start + b + 1; p < end; p += b + 1)); do t[p]=P; done
    # A run before a closed-GOP key picture or the end needs an anchor.
    ((!(open && end < n) && end - 1 > start)) && t[end - 1]=P
  done
  local IFS=
  echo "${t[*]}"
}

# inter_tail N KEYINT BFRAMES: the first key position that may be left out
# near the end of the input, or N.
inter_tail() {
  local n=$1 k=$2 b=$3 p window
  ((k > 0)) || { echo "$n"; return; }
  window=$((2 * b + 2 < k / 3 ? 2 * b + 2 : k / 3))
  for ((p = k; p < n; p += k)); do
    ((n - p < window)) && { echo "$p"; return; }
  done
  echo "$n"
}

# inter_picture_types FILE: one letter per picture in display order: I for
# intra pictures; for the others P when the picture is decoded before every
# picture after it in display order (its packet lies earlier in the file),
# else B; lower case when its slice type differs from that letter.
inter_picture_types() {
  ffprobe -v error -select_streams v:0 -show_entries frame=pkt_pos,pict_type -of csv=p=0 "$1" </dev/null |
    awk -F, '{ pos[NR] = $1; t[NR] = $2 }
      END {
        low = -1
        for (i = NR; i >= 1; i--) {
          k = t[i] == "I" ? "I" : (low < 0 || pos[i] < low) ? "P" : "B"
          out[i] = k == t[i] ? k : tolower(k)
          if (low < 0 || pos[i] < low) low = pos[i]
        }
        for (i = 1; i <= NR; i++) printf "%s", out[i]
      }'
}

# inter_check_structure NAME PICTURES [ZIRAVOV ARGS...]: the stream's
# picture types against inter_model.
inter_check_structure() {
  local name=$1 n=$2
  shift 2
  local k=250 b=0 open=0 level=4 tune=0
  while [ $# -gt 0 ]; do
    case $1 in
    --keyint) k=$2; shift ;;
    --bframes) b=$2; shift ;;
    --complexity) level=$2; shift ;;
    --tune) tune=1; shift ;;
    --open-gop) open=1 ;;
    --no-open-gop) open=0 ;;
    esac
    shift
  done
  local want got tail exact why=""
  want=$(inter_model "$n" "$k" "$b" "$open")
  tail=$(inter_tail "$n" "$k" "$b")
  exact=$((tail < n ? tail - 1 : n))
  got=$(inter_picture_types "$name.hevc")
  # P pictures as B slices ("p") from complexity 3 on without a tune.
  local p_slice=P
  ((level >= 3 && !tune)) && p_slice=p
  [[ $got =~ [ib] ]] && conf_fail "$name" "picture types $got: an I or B picture with another slice type"
  [[ $got == *[Pp]* && $got == *[^${p_slice}IB]* ]] &&
    conf_fail "$name" "picture types $got: P pictures should be sent as $([ $p_slice = P ] && echo P || echo B) slices"
  got=$(echo "$got" | tr p P)
  if [ ${#got} -ne "$n" ]; then
    why="$n pictures expected"
  elif [ "${got:0:exact}" != "${want:0:exact}" ]; then
    why="expected ${want:0:exact} before picture $exact"
  else
    local rest=${got:exact} i
    for ((i = exact; i < n; i++)); do
      [ "${got:i:1}" = I ] && [ $i -ne "$tail" ] && why="key picture $i near the end"
    done
    [ "${got: -1}" = B ] && why="ends in a B picture"
    [[ $rest =~ B{$((b + 1))} ]] && why="more than $b B pictures in a row"
  fi
  [ -z "$why" ] || conf_fail "$name" "picture types $got: $why (keyint $k, bframes $b, open $open, model $want)"

  # NAL unit types in decode order; leading pictures counted from the types
  # in display order.
  local keys=${got//[^I]/} runs=${got#I} want_leading=0 run
  while [[ $runs =~ (B*)I(.*) ]]; do
    run=${BASH_REMATCH[1]}
    want_leading=$((want_leading + ${#run}))
    runs=${BASH_REMATCH[2]}
  done
  ((!open && want_leading > 0)) && conf_fail "$name" "picture types $got: B pictures wait across an IDR"
  local types first=1 irap=0 leading=0 bad="" count=0
  types=$(conf_picture_types "$name")
  for t in $types; do
    case $t in
    19 | 20) ((open && !first)) && bad="$bad $t"; irap=$((irap + 1)) ;;
    21) ((open)) || bad="$bad $t"; irap=$((irap + 1)) ;;
    6 | 7 | 8 | 9) leading=$((leading + 1)) ;;
    0 | 1 | 2 | 3 | 4 | 5) ;;
    *) bad="$bad $t" ;;
    esac
    first=0 count=$((count + 1))
  done
  if [ -n "$bad" ] || [ $irap -ne ${#keys} ] || [ $leading -ne $want_leading ] || [ $count -ne "$n" ]; then
    conf_fail "$name" "NAL unit types '$types': $count pictures, $irap key and $leading leading (expected $n, ${#keys} and $want_leading)${bad:+, unexpected:$bad}"
  fi
}

# libde265 is given the stream without its repeated parameter sets when the
# GOP is open (see conf_drop_repeated_parameter_sets); ffmpeg always reads
# it whole.
inter_case() {
  local name=$1 input=$2 w=$3 h=$4 n=$5
  shift 5
  local CONF_DE265_DROP_REPEATS=
  [[ " $* " == *" --open-gop "* ]] && CONF_DE265_DROP_REPEATS=1
  conf_case "$name" "$input" "$w" "$h" "$n" "$@" --scenecut 0 || return 1
  inter_check_structure "$name" "$n" "$@"
}

# Moving inputs.  pan: a texture under a steady sub-sample translation (2.5
# and -1.25 luma samples a picture), so the search has a true answer at a
# fractional position; crop: a window of a real clip sliding over it.
inter_synth() {
  local name=$1 w=$2 h=$3 frames=$4 source=$5
  case $source in
  testsrc2 | mandelbrot) conf_synth "$name" "$w" "$h" "$frames" "$source" ;;
  pan)
    ffmpeg -v error -y -f lavfi -i "nullsrc=s=${w}x${h}:r=25,format=yuv420p,geq=lum='128+70*sin((X-2.5*N)/4.3)*cos((Y+1.25*N)/5.7)+50*sin((X+Y-1.25*N)/9)':cb='128+60*sin((X-1.25*N)/3.1)':cr='128+60*cos((Y+0.625*N)/2.9)'" \
      -frames:v "$frames" -pix_fmt yuv420p -f rawvideo "$name.yuv" </dev/null ;;
  crop)
    # Three to the right and two down a picture; the clip is stretched first
    # where the window would not have room to move.
    local sw=$((w + 64 > 352 ? w + 64 : 352)) sh=$((h + 48 > 288 ? h + 48 : 288))
    ffmpeg -v error -y -i "$CLIPS/foreman_cif_60f.y4m" -vf "scale=$sw:$sh,crop=$w:$h:x='mod(n*3,iw-ow+1)':y='mod(n*2,ih-oh+1)'" \
      -frames:v "$frames" -pix_fmt yuv420p -f rawvideo "$name.yuv" </dev/null ;;
  esac
}

cases=$SCRATCH/cases.txt
: >"$cases"
# add NAME INPUT W H PICTURES ARGS: a case line led by its rough cost, so that
# the dearest cases start first.
add() {
  echo "$(($3 * $4 * $5 / 1000))|$1|$2|$3|$4|$5|${*:6}" >>"$cases"
}

# Picture structures: B run and pyramid (the pyramid matters only with B).
structures="0:0 3:0 3:1 3:2 7:0 7:1 7:2"
# GOP kinds: the option, and the tag ("open" or "closed") in the case name.
gop_tag() { if [ "$1" = --open-gop ]; then echo open; else echo closed; fi; }

# 1. carphone: every structure with both GOP kinds and key intervals 5, 8 and
# 0 (only the first), 17 to 25 pictures, the QP stepping through 0..51.
i=0
if have_clip carphone_qcif.y4m; then
  clip=$CLIPS/carphone_qcif.y4m
  for s in $structures; do
    b=${s%:*} hier=${s#*:}
    for g in --no-open-gop --open-gop; do
      gop=$(gop_tag $g)
      for k in 5 8 0; do
        n=$((17 + i % 9)) qp=$(((i * 11) % 52))
        add "carphone-b$b-h$hier-$gop-k$k-qp$qp" "$clip" 176 144 $n \
          --frames $n --qp $qp --bframes $b --hierarchy $hier --keyint $k $g
        i=$((i + 1))
      done
    done
  done
  # All intra whatever the B settings.
  for g in --no-open-gop --open-gop; do
    gop=$(gop_tag $g)
    add "carphone-k1-$gop-qp51" "$clip" 176 144 9 --frames 9 --qp 51 --bframes 7 --hierarchy 2 --keyint 1 $g
    add "carphone-k6-$gop-qp0" "$clip" 176 144 19 --frames 19 --qp 0 --bframes 3 --hierarchy 1 --keyint 6 $g
  done
else
  echo "note: clip carphone_qcif.y4m missing"
fi

# 2. foreman: every structure with both GOP kinds, about 12 pictures, the key
# interval cycling through 8, 5, 0 and 4.
if have_clip foreman_cif_60f.y4m; then
  clip=$CLIPS/foreman_cif_60f.y4m
  keyints=(8 5 0 4)
  i=0
  for s in $structures; do
    b=${s%:*} hier=${s#*:}
    for g in --no-open-gop --open-gop; do
      gop=$(gop_tag $g)
      n=$((11 + i % 3)) qp=$(((3 + i * 17) % 52)) k=${keyints[i % 4]}
      add "foreman-b$b-h$hier-$gop-k$k-qp$qp" "$clip" 352 288 $n \
        --frames $n --qp $qp --bframes $b --hierarchy $hier --keyint $k $g
      i=$((i + 1))
    done
  done
  add "foreman-k1-qp0" "$clip" 352 288 4 --frames 4 --qp 0 --bframes 3 --keyint 1 --no-open-gop
  # The real-time speed modes, forced: shallower searches, 8x8 intra CUs
  # and SAO merged off instead of searched.
  for speed in 1 2 3; do
    add "foreman-speed$speed-b3" "$clip" 352 288 9 --frames 9 --qp $((20 + 7 * speed)) --bframes 3 --keyint 8 --speed-mode $speed
  done
  add "foreman-zerolatency" "$clip" 352 288 9 --frames 9 --qp 30 --bframes 0 --keyint 0 --tune zerolatency
else
  echo "note: clip foreman_cif_60f.y4m missing"
fi

# 3. Synthetic sizes: smaller than a CTU, not multiples of 8; every input
# moves.  Per size, one case per structure with the GOP kind, key interval,
# source and QP rotating.
sources=(pan testsrc2 mandelbrot)
have_clip foreman_cif_60f.y4m && sources+=(crop)
keyints=(5 8 0 4 1)
qps=(0 9 17 26 34 43 51)
j=0
for size in 8x8 72x40 200x136 350x286; do
  w=${size%x*} h=${size#*x}
  for src in "${sources[@]}"; do
    inter_synth "$src-$size" "$w" "$h" 17 "$src" || conf_fail "$src-$size" "ffmpeg cannot make the input"
  done
  for s in $structures; do
    b=${s%:*} hier=${s#*:}
    src=${sources[j % ${#sources[@]}]} k=${keyints[j % 5]} qp=${qps[(j * 3) % 7]}
    g=--no-open-gop
    [ $((j % 2)) -eq 1 ] && g=--open-gop
    gop=$(gop_tag $g)
    n=$((9 + (j * 5) % 9))
    [ "$size" = 350x286 ] && n=$((9 + j % 3))
    add "$src-$size-b$b-h$hier-$gop-k$k-qp$qp" "$src-$size.yuv" "$w" "$h" $n \
      --input-res $size --frames $n --qp $qp --bframes $b --hierarchy $hier --keyint $k $g
    j=$((j + 1))
  done
done

# 4. Random inter decisions.  Seeds base..base+47 meet every combination of
# B run (0..7), pyramid and GOP kind once; key interval, picture count (5..9)
# and QP move with the seed too.
echo "seeds $base..$((base + seeds - 1))"
rsizes="8x8 24x16 72x40 200x136 350x286"
for size in $rsizes; do
  w=${size%x*} h=${size#*x}
  inter_synth "rnd-$size" "$w" "$h" 9 pan || conf_fail "rnd-$size" "ffmpeg cannot make the input"
done
inter_synth rnd-1920x1080 1920 1080 5 testsrc2 || conf_fail rnd-1920x1080 "ffmpeg cannot make the input"
rkeyints=(0 4 1 5 2 8 3)
for ((seed = base; seed < base + seeds; seed++)); do
  m=$((seed % 48))
  b=$((m % 8)) hier=$((m / 8 % 3)) g=--no-open-gop
  [ $((m / 24)) -eq 1 ] && g=--open-gop
  gop=$(gop_tag $g)
  k=${rkeyints[seed % 7]} n=$((5 + seed % 5))
  si=0
  for size in $rsizes; do
    w=${size%x*} h=${size#*x} qp=$(((seed * 13 + si * 7) % 52))
    add "seed$seed-$size-b$b-h$hier-$gop-k$k" "rnd-$size.yuv" "$w" "$h" $n \
      --input-res $size --frames $n --qp $qp --bframes $b --hierarchy $hier --keyint $k $g --random-decisions $seed
    si=$((si + 1))
  done
  if have_clip carphone_qcif.y4m && [ $((seed % 4)) -eq 0 ]; then
    add "seed$seed-carphone-b$b-h$hier-$gop-k$k" "$CLIPS/carphone_qcif.y4m" 176 144 $n \
      --frames $n --qp $(((seed * 7) % 52)) --bframes $b --hierarchy $hier --keyint $k $g --random-decisions $seed
  fi
  if [ $((seed % 24)) -eq 0 ]; then
    add "seed$seed-1920x1080-b$b-h$hier-$gop-k$k" rnd-1920x1080.yuv 1920 1080 5 \
      --input-res 1920x1080 --frames 5 --qp $(((seed * 13) % 52)) --bframes $b --hierarchy $hier --keyint $k $g --random-decisions $seed
  fi
done

# The model itself on structures worked out by hand.
model_is() {
  local got
  got="$(inter_model "$1" "$2" "$3" "$4") $(inter_tail "$1" "$2" "$3")"
  [ "$got" = "$5" ] || conf_fail model "inter_model/inter_tail $1 $2 $3 $4 give '$got', expected '$5'"
}
model_is 9 8 3 0 "IBBBPBBPI 8"
model_is 9 8 3 1 "IBBBPBBBI 8"
model_is 11 8 3 0 "IBBBPBBPIBP 11"
model_is 14 12 3 0 "IBBBPBBBPBBPIP 12"
model_is 6 0 7 0 "IBBBBP 6"
model_is 5 1 7 1 "IIIII 5"
model_is 11 5 7 1 "IBBBBIBBBBI 11"
model_is 7 0 0 1 "IPPPPPP 7"
model_is 9 4 1 0 "IBPPIBPPI 9"
# inter_picture_types on packet places worked out by hand (a stand-in
# ffprobe prints "pkt_pos,pict_type" per picture in display order).
types_are() {
  local want=$1 got
  shift
  local lines=("$@")
  got=$(ffprobe() { printf '%s\n' "${lines[@]}"; }; inter_picture_types x)
  [ "$got" = "$want" ] || conf_fail model "inter_picture_types on '${lines[*]}' gives '$got', expected '$want'"
}
# Decoded I0 P4 B2 B1 B3, the P picture sent as a B slice.
types_are IBBBp 0,I 300,B 200,B 400,B 100,B
types_are IPPP 0,I 10,P 20,P 30,P
# A P slice where a B picture stands, a B slice where a P picture stands.
types_are Ibp 0,I 20,P 10,B

echo "$(wc -l <"$cases") cases"
sort -t'|' -k1,1nr "$cases" | cut -d'|' -f2- | CONF_CASE_FN=inter_case conf_run_cases
conf_finish
