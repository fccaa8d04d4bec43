# Shared pieces of the conformance scripts: encode with ziravov, decode the
# stream with two independent decoders (ffmpeg and libde265) and require both
# to give back the reconstruction file byte for byte.  Sourced, not run.
#
# Cases may run as parallel background jobs; a failing case leaves
# "<name>.fail" in the scratch folder, so the verdict survives the subshell.

# Checks the tools, makes a fresh scratch folder and enters it.
conf_init() {
  ZIRAVOV=${ZIRAVOV:?path of the ziravov binary}
  for tool in ffmpeg libde265-dec265 cmp; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool not found: skipped"; exit 77; }
  done
  SCRATCH=${SCRATCH:-$(mktemp -d)}
  rm -rf "$SCRATCH" && mkdir -p "$SCRATCH" || exit 1
  cd "$SCRATCH" || exit 1
  CONF_JOBS=${CONF_JOBS:-$(nproc 2>/dev/null || echo 4)}
  echo "scratch: $SCRATCH"
}

# Real clips are optional; without them the calling script skips.
conf_need_clips() {
  if [ -z "${CLIPS:-}" ] || [ ! -d "$CLIPS" ]; then
    echo "clip folder '${CLIPS:-}' missing: skipped"
    exit 77
  fi
  local clip
  for clip in "$@"; do
    [ -r "$CLIPS/$clip" ] || { echo "clip $CLIPS/$clip missing: skipped"; exit 77; }
  done
}

# conf_fail NAME MESSAGE: records a failed case.
conf_fail() {
  local name=$1
  shift
  echo "FAIL: $name: $*"
  echo "$*" >>"$name.fail"
}

# conf_size_of_y4m FILE: prints "W H" of a YUV4MPEG2 file.
conf_size_of_y4m() {
  head -c 200 "$1" | head -n 1 | tr ' ' '\n' | sed -n 's/^W\([0-9]*\)$/\1/p; s/^H\([0-9]*\)$/\1/p' | tr '\n' ' '
}

# conf_raw_from_y4m Y4M OUT [FRAMES]: the stored samples of a YUV4MPEG2 file
# as raw 4:2:0, untouched.  A stream copy keeps ffmpeg from converting
# C420jpeg (which it takes as full range) to limited range.
conf_raw_from_y4m() {
  local limit=()
  [ -n "${3:-}" ] && limit=(-frames:v "$3")
  ffmpeg -v error -y -i "$1" "${limit[@]}" -c:v copy -f rawvideo "$2" </dev/null
}

# conf_pan OUT: 12 pictures of 136x104 (not a multiple of the CTU size) from
# the middle of the flower clip, as raw 4:2:0: a window that moves 8 samples
# a picture right, left, down, up (and comes back), so that the content
# moves in off every picture edge in turn.  Needs flower_720p_30f.y4m.
conf_pan() {
  ffmpeg -v error -y -i "$CLIPS/flower_720p_30f.y4m" -frames:v 12 \
    -vf "crop=136:104:'300+8*(if(lt(n,3),n,if(lt(n,6),6-n,0)))':'200+8*(if(between(n,6,8),n-5,if(between(n,9,11),12-n,0)))'" \
    -pix_fmt yuv420p -f rawvideo "$1" </dev/null
}

# conf_pan_cases "LEVELS" [EXTRA ARGS]: the cases of conf_pan's pan.yuv at
# each level with and without B pictures, for conf_run_cases.
conf_pan_cases() {
  local level b
  for level in $1; do
    for b in 0 3; do
      echo "pan-l$level-b$b|pan.yuv|136|104|12|${2:-} --input-res 136x104 --frames 12 --qp 32 --bframes $b --keyint 0 --scenecut 0 --complexity $level"
    done
  done
}

# conf_synth NAME W H FRAMES SOURCE: writes NAME.yuv, a raw 4:2:0 picture
# sequence from an ffmpeg lavfi source (testsrc2, mandelbrot, noise, flat,
# gradient, stripes), so odd content reaches every picture size.
conf_synth() {
  local name=$1 w=$2 h=$3 frames=$4 source=$5 graph
  case $source in
  testsrc2) graph="testsrc2=s=${w}x${h}:r=25" ;;
  mandelbrot) graph="mandelbrot=s=${w}x${h}:r=25" ;;
  noise) graph="nullsrc=s=${w}x${h}:r=25,geq=lum='random(1)*255':cb='random(2)*255':cr='random(3)*255'" ;;
  flat) graph="color=c=0x808080:s=${w}x${h}:r=25" ;;
  gradient) graph="nullsrc=s=${w}x${h}:r=25,geq=lum='mod(X*7+Y*3+N*5,256)':cb='mod(X*11,256)':cr='mod(255-Y*5,256)'" ;;
  stripes) graph="nullsrc=s=${w}x${h}:r=25,geq=lum='255*mod(floor(X/3)+floor(Y/2),2)':cb='mod(X*64,256)':cr='255*mod(Y,2)'" ;;
  *) echo "conf_synth: unknown source $source" >&2; return 1 ;;
  esac
  ffmpeg -v error -y -f lavfi -i "$graph" -frames:v "$frames" -pix_fmt yuv420p -f rawvideo "$name.yuv" </dev/null
}

# conf_first_diff FILE_A FILE_B W H: prints where two raw 4:2:0 files first
# differ ("picture P plane C at (x,y): a vs b") and how many bytes differ.
conf_first_diff() {
  local a=$1 b=$2 w=$3 h=$4
  local first
  first=$(cmp -l "$a" "$b" 2>/dev/null | head -n 1)
  if [ -z "$first" ]; then
    echo "sizes $(stat -c %s "$a") vs $(stat -c %s "$b") bytes (one is a prefix of the other)"
    return
  fi
  local count
  count=$(cmp -l "$a" "$b" 2>/dev/null | head -n 1000000 | wc -l)
  # cmp -l: 1-based offset, then both bytes in octal.
  # shellcheck disable=SC2086
  set -- $first
  local off=$(($1 - 1)) va=$((8#$2)) vb=$((8#$3))
  local luma=$((w * h)) chroma=$(((w / 2) * (h / 2)))
  local pic=$((luma + 2 * chroma))
  local p=$((off / pic)) r=$((off % pic)) plane pw
  if [ $r -lt $luma ]; then
    plane=Y pw=$w
  elif [ $r -lt $((luma + chroma)) ]; then
    plane=U pw=$((w / 2)) r=$((r - luma))
  else
    plane=V pw=$((w / 2)) r=$((r - luma - chroma))
  fi
  echo "picture $p plane $plane at ($((r % pw)),$((r / pw))): $va vs $vb; $count bytes differ"
}

# conf_compare NAME WHAT FILE_A FILE_B W H: byte compare, explained on failure.
conf_compare() {
  local name=$1 what=$2 a=$3 b=$4 w=$5 h=$6
  if ! cmp -s "$a" "$b"; then
    conf_fail "$name" "$what: $(conf_first_diff "$a" "$b" "$w" "$h")"
    return 1
  fi
}

# conf_encode NAME INPUT [ZIRAVOV ARGS...]: NAME.hevc and NAME.rec.yuv, the
# program's output in NAME.out / NAME.err.  The command line goes to NAME.cmd
# so that a failure can be replayed.
conf_encode() {
  local name=$1 input=$2
  shift 2
  echo "$ZIRAVOV $* --recon $PWD/$name.rec.yuv $input $PWD/$name.hevc" >"$name.cmd"
  timeout 300 "$ZIRAVOV" "$@" --recon "$name.rec.yuv" "$input" "$name.hevc" >"$name.out" 2>"$name.err" </dev/null
  local rc=$?
  if [ $rc -ne 0 ]; then
    conf_fail "$name" "exit code $rc: $(cat "$name.cmd")"
    sed 's/^/    /' "$name.err" | head -n 5
    return 1
  fi
}

# conf_decode_check NAME W H PICTURES: both decoders must reproduce
# NAME.rec.yuv exactly, and it must hold PICTURES pictures.
conf_decode_check() {
  local name=$1 w=$2 h=$3 pictures=$4
  local pic=$((w * h * 3 / 2)) ok=0
  local rec_size
  rec_size=$(stat -c %s "$name.rec.yuv" 2>/dev/null || echo 0)
  if [ "$rec_size" -ne $((pic * pictures)) ]; then
    conf_fail "$name" "reconstruction holds $rec_size bytes, expected $pictures pictures of $pic"
    ok=1
  fi
  if ! ffmpeg -v error -y -i "$name.hevc" -f rawvideo -pix_fmt yuv420p "$name.ff.yuv" </dev/null 2>"$name.fferr"; then
    conf_fail "$name" "ffmpeg cannot decode the stream: $(head -n 2 "$name.fferr" | tr '\n' ' ')"
    ok=1
  elif [ -s "$name.fferr" ]; then
    # ffmpeg conceals errors and carries on; any complaint is a failure.
    conf_fail "$name" "ffmpeg complains: $(head -n 2 "$name.fferr" | tr '\n' ' ')"
    ok=1
  fi
  [ -f "$name.ff.yuv" ] && { conf_compare "$name" "ffmpeg decode vs reconstruction" "$name.ff.yuv" "$name.rec.yuv" "$w" "$h" || ok=1; }
  local de_in=$name.hevc
  if [ -n "${CONF_DE265_DROP_REPEATS:-}" ]; then
    conf_drop_repeated_parameter_sets "$name.hevc" "$name.de.hevc" && de_in=$name.de.hevc
  fi
  if ! libde265-dec265 -q -o "$name.de.yuv" "$de_in" >/dev/null 2>"$name.deerr" </dev/null; then
    conf_fail "$name" "libde265 cannot decode the stream: $(head -n 2 "$name.deerr" | tr '\n' ' ')"
    ok=1
  fi
  [ -f "$name.de.yuv" ] && { conf_compare "$name" "libde265 decode vs reconstruction" "$name.de.yuv" "$name.rec.yuv" "$w" "$h" || ok=1; }
  if [ $ok -ne 0 ]; then
    echo "    replay: $(cat "$name.cmd" 2>/dev/null)"
  else
    # Keep the scratch folder small: the passing case's pictures are not needed.
    rm -f "$name.ff.yuv" "$name.de.yuv" "$name.rec.yuv" "$name.de.hevc"
  fi
  return $ok
}

# conf_drop_repeated_parameter_sets IN OUT: copies an Annex B stream without
# the parameter sets (VPS, SPS, PPS) that repeat an earlier one byte for byte,
# which no conforming decoder can tell from the original.  libde265 1.0.11
# loses the references of RASL pictures when identical parameter sets are
# re-sent before a CRA picture, depending on how its reader happens to chunk
# the input (filler data units alone change its output); callers that set
# CONF_DE265_DROP_REPEATS give it this copy while ffmpeg reads the original.
conf_drop_repeated_parameter_sets() {
  local in=$1 out=$2 start length
  od -An -v -tu1 "$in" | awk '
    { for (i = 1; i <= NF; i++) b[n++] = $i }
    END {
      for (i = 0; i + 3 < n; i++) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue
        s[m] = (i > 0 && b[i - 1] == 0) ? i - 1 : i
        p[m++] = i + 3
        i += 2
      }
      s[m] = n
      from = 0
      for (k = 0; k < m; k++) {
        t = int(b[p[k]] / 2) % 64
        if (t < 32 || t > 34) continue
        key = ""
        for (j = p[k]; j < s[k + 1]; j++) key = key " " b[j]
        sub(/( 0)+$/, "", key)  # trailing_zero_8bits are not part of the unit
        if (!(key in seen)) { seen[key] = 1; continue }
        if (s[k] > from) print from, s[k] - from
        from = s[k + 1]
      }
      if (n > from) print from, n - from
    }' | while read -r start length; do
    tail -c +$((start + 1)) "$in" | head -c "$length"
  done >"$out"
}

# conf_picture_types NAME: the nal_unit_type of the first slice segment of
# every coded picture in NAME.hevc (first_slice_segment_in_pic_flag set),
# space separated, in stream order.
conf_picture_types() {
  od -An -v -tu1 "$1.hevc" | awk '
    { for (i = 1; i <= NF; i++) b[n++] = $i }
    END {
      for (i = 0; i + 4 < n; i++) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue
        t = int(b[i + 3] / 2) % 64
        # VCL units (types 0..31) start with first_slice_segment_in_pic_flag.
        if (t < 32 && b[i + 5] >= 128) printf "%d ", t
        i += 2
      }
    }'
}

# conf_case NAME INPUT W H PICTURES [ZIRAVOV ARGS...]: encode, then both
# decoders against the reconstruction.
conf_case() {
  local name=$1 input=$2 w=$3 h=$4 pictures=$5
  shift 5
  conf_encode "$name" "$input" "$@" || return 1
  conf_decode_check "$name" "$w" "$h" "$pictures"
}

# conf_run_cases: reads "NAME|INPUT|W|H|PICTURES|ARGS" lines from stdin and
# runs conf_case (or the function named by CONF_CASE_FN) for each,
# CONF_JOBS at a time.
conf_run_cases() {
  local name input w h pictures args running=0 case_fn=${CONF_CASE_FN:-conf_case}
  while IFS='|' read -r name input w h pictures args; do
    [ -z "$name" ] && continue
    # shellcheck disable=SC2086
    "$case_fn" "$name" "$input" "$w" "$h" "$pictures" $args >"$name.log" 2>&1 &
    running=$((running + 1))
    if [ $running -ge "$CONF_JOBS" ]; then
      wait -n
      running=$((running - 1))
    fi
  done
  wait
  cat ./*.log 2>/dev/null | grep -v '^$' || true
}

# conf_finish: summary and exit status from the recorded failures.  A run
# in which no case was encoded (conf_encode leaves NAME.cmd) fails too: an
# empty case list or a loop that never ran proves nothing.
conf_finish() {
  local failed ran
  failed=$(find . -maxdepth 1 -name '*.fail' | wc -l)
  ran=$(find . -maxdepth 1 -name '*.cmd' | wc -l)
  echo "$ran cases, $failed failing cases"
  if [ "$ran" -eq 0 ]; then
    echo "FAIL: no case ran"
    exit 1
  fi
  [ "$failed" -eq 0 ] && exit 0
  exit 1
}
