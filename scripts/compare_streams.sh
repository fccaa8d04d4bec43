#!/usr/bin/env bash
# Byte identity of two ziravov binaries: encodes the real clips and a few
# synthetic pictures of awkward sizes with both, at every complexity 0-7, with
# all-intra, P-only and B picture structures, the random decisions, the
# portable code and the detected CPU tier, one and eight threads, constant
# QPs, the default rate factor with AQ and the CU-tree's offsets in the CTU
# QPs, and lists every case whose stream (or reconstruction, or exit code)
# differs.
# A restructuring that must not change a single decision is checked with it
# against the commit it is based on.
#
# Usage: scripts/compare_streams.sh OLD_BIN NEW_BIN
# Environment: CLIPS (default ../shared/clips beside the source tree),
#   JOBS (parallel encodes, default the processor count), SCRATCH (work folder,
#   kept when a case differs), QUICK=1 (complexities 0, 4 and 7 only),
#   CLIP_NAMES (the real clips, default "carphone_qcif foreman_cif_60f
#   bus_cif_17f flower_720p_30f").
# Exit: 0 all identical, 1 some case differs, 2 usage or set-up error.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ne 2 ] || [ ! -x "$1" ] || [ ! -x "$2" ]; then
  echo "usage: $0 OLD_BIN NEW_BIN (both executable)" >&2
  exit 2
fi
OLD=$(realpath "$1")
NEW=$(realpath "$2")
CLIPS=${CLIPS:-$root/../shared/clips}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 4)}
SCRATCH=${SCRATCH:-$(mktemp -d /tmp/compare_streams.XXXXXX)}
mkdir -p "$SCRATCH" || exit 2
rm -f "$SCRATCH"/*.differs "$SCRATCH"/cases.txt "$SCRATCH"/done.txt
command -v ffmpeg >/dev/null 2>&1 || { echo "ffmpeg not found (makes the synthetic inputs)" >&2; exit 2; }
cd "$SCRATCH" || exit 2
echo "old: $OLD"
echo "new: $NEW"
echo "scratch: $SCRATCH, $JOBS jobs"

# Synthetic inputs: sizes that are no multiple of the CTU or of 8, moving so
# that motion search and merge have something to find.
synth() {
  local name=$1 w=$2 h=$3 frames=$4 graph=$5
  [ -f "$name.yuv" ] && return 0
  ffmpeg -v error -y -f lavfi -i "$graph" -frames:v "$frames" -pix_fmt yuv420p -f rawvideo "$name.yuv" </dev/null ||
    { echo "cannot make $name" >&2; exit 2; }
}
synth pan-200x136 200 136 6 "testsrc2=s=200x136:r=25"
synth mandel-72x40 72 40 6 "mandelbrot=s=72x40:r=25"
synth noise-136x72 136 72 6 "nullsrc=s=136x72:r=25,geq=lum='random(1)*255':cb='random(2)*255':cr='random(3)*255'"

# Inputs: "name|input arguments|pictures of the B structure".
inputs=()
for clip in ${CLIP_NAMES:-carphone_qcif foreman_cif_60f bus_cif_17f flower_720p_30f}; do
  f=$CLIPS/$clip.y4m
  if [ ! -r "$f" ]; then
    echo "clip $f missing: skipped"
    continue
  fi
  frames=5
  [ "$clip" = flower_720p_30f ] && frames=3
  inputs+=("$clip|$f|$frames")
done
inputs+=("pan-200x136|--input-res 200x136 $SCRATCH/pan-200x136.yuv|5")
inputs+=("mandel-72x40|--input-res 72x40 $SCRATCH/mandel-72x40.yuv|5")
inputs+=("noise-136x72|--input-res 136x72 $SCRATCH/noise-136x72.yuv|5")

levels="0 1 2 3 4 5 6 7"
[ "${QUICK:-0}" = 1 ] && levels="0 4 7"
cases=$SCRATCH/cases.txt
add() { echo "$*" >>"$cases"; }
for entry in "${inputs[@]}"; do
  IFS='|' read -r name input bframes_pictures <<<"$entry"
  for c in $levels; do
    # A QP that moves with the level, so that both ends of the range are seen.
    qp=$((22 + 5 * (c % 4)))
    for run in "cpu0-t1|--cpu-flags 0 --threads 1" "tier-t8|--threads 8"; do
      IFS='|' read -r tag run_args <<<"$run"
      add "$name-c$c-I-$tag|$input|--frames 2 --keyint 1 --qp $qp --complexity $c $run_args"
      add "$name-c$c-P-$tag|$input|--frames 3 --bframes 0 --qp $qp --complexity $c $run_args"
      add "$name-c$c-B-$tag|$input|--frames $bframes_pictures --bframes 3 --qp $qp --complexity $c $run_args"
    done
    # Random decisions reach partitions, modes and vectors no search picks.
    seed=$((c + 1))
    add "$name-c$c-rnd$seed-B|$input|--frames $bframes_pictures --bframes 3 --qp $((qp + 5)) --complexity $c --random-decisions $seed --threads 8"
    add "$name-c$c-rnd$((seed + 10))-P-cpu0|$input|--frames 3 --bframes 0 --qp $((51 - qp)) --complexity $c --random-decisions $((seed + 10)) --cpu-flags 0 --threads 1"
  done
  # Tools that are off by default or switchable, at the default level and
  # rate control; the rate modes whose streams do not depend on timing.
  for extra in "--no-sao --no-deblock" "--no-rdoq" "--intra-nxn" "--no-wpp --threads 4" "--no-sign-hiding" \
    "--hierarchy 2 --bframes 7" "--qp 0" "--qp 51" "--subpel-planes 2 --threads 8" "--subpel-planes 1 --bframes 0" \
    "--qp 27 --aq-mode 0" "--crf 30 --aq-mode 1 --aq-strength 1.5" "--qp 32 --lqp --aq-mode 2"; do
    tag=$(echo "$extra" | tr -d ' -')
    add "$name-x$tag|$input|--frames $bframes_pictures --bframes 3 $extra"
  done
done
echo "$(wc -l <"$cases") cases (finished ones are listed in $SCRATCH/done.txt)"

# compare_case "NAME|INPUT|ARGS": both encodes, then the verdict.  INPUT is
# the input file, after --input-res for raw pictures; words split on spaces,
# so clip names and the scratch path must hold none.
compare_case() {
  local name input args rc_old rc_new why=""
  IFS='|' read -r name input args <<<"$1"
  # shellcheck disable=SC2086
  timeout 900 "$OLD" --log-level 0 $args --recon "$name.old.yuv" $input "$name.old.hevc" >/dev/null 2>"$name.old.err" </dev/null
  rc_old=$?
  # shellcheck disable=SC2086
  timeout 900 "$NEW" --log-level 0 $args --recon "$name.new.yuv" $input "$name.new.hevc" >/dev/null 2>"$name.new.err" </dev/null
  rc_new=$?
  if [ $rc_old -ne $rc_new ]; then
    why="exit codes $rc_old vs $rc_new"
  elif [ $rc_old -ne 0 ]; then
    why="both failed with exit code $rc_old: $(head -n 1 "$name.new.err")"
  elif ! cmp -s "$name.old.hevc" "$name.new.hevc"; then
    why="streams differ ($(stat -c %s "$name.old.hevc") vs $(stat -c %s "$name.new.hevc") bytes; $(cmp "$name.old.hevc" "$name.new.hevc" 2>&1 | head -n 1))"
  elif ! cmp -s "$name.old.yuv" "$name.new.yuv"; then
    why="reconstructions differ"
  fi
  if [ -n "$why" ]; then
    echo "DIFFERS: $name: $why" | tee "$name.differs"
    echo "    args: $args --recon REC $input OUT" | tee -a "$name.differs"
  else
    rm -f "$name".old.* "$name".new.*
  fi
  echo "$name" >>done.txt
}
export -f compare_case
export OLD NEW

start=$(date +%s)
tr '\n' '\0' <"$cases" | xargs -0 -P "$JOBS" -I{} bash -c 'compare_case "$1"' _ {}
differs=$(find . -maxdepth 1 -name '*.differs' | wc -l)
total=$(wc -l <"$cases")
echo "$((total - differs)) of $total cases identical ($(($(date +%s) - start)) s)"
if [ "$differs" -ne 0 ]; then
  echo "$differs cases differ; streams kept in $SCRATCH"
  exit 1
fi
rm -rf "$SCRATCH"
exit 0
