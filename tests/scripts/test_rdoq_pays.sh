#!/usr/bin/env bash
# Rate-distortion optimised quantisation must pay: its Bjontegaard delta rate
# (Y-PSNR, QP 22-37, 30 pictures) against plain quantisation, with the same decision
# search, must be at least 3% lower on foreman and on carphone.
set -u
[ -d "${CLIPS:-}" ] || { echo "skip: no clips folder"; exit 77; }
command -v python3 >/dev/null || { echo "skip: no python3"; exit 77; }
mkdir -p "$SCRATCH" && cd "$SCRATCH" || exit 1
tools=$(cd "$SCRIPTS/../tools" && pwd)
. "$SCRIPTS/bd_curve.sh"
fail=0
for clip in foreman_cif_60f carphone_qcif; do
  src="$CLIPS/$clip.y4m"
  [ -f "$src" ] || { echo "skip: $src missing"; exit 77; }
  for q in 22 27 32 37; do
    "$ZIRAVOV" --log-level 0 --frames 30 --qp $q "$src" $clip-on$q.hevc >$clip-on$q.log 2>&1 &
    "$ZIRAVOV" --log-level 0 --frames 30 --qp $q --no-rdoq "$src" $clip-off$q.hevc >$clip-off$q.log 2>&1 &
  done
  wait
  off=$(bd_curve $clip-off) && on=$(bd_curve $clip-on) || exit 1
  bd=$(python3 "$tools/bd_rate.py" "$off" "$on") || exit 1
  echo "$clip: RDOQ on vs off: BD-rate $bd% (off: $off; on: $on)"
  python3 -c "import sys; sys.exit(0 if float('$bd') <= -3 else 1)" || { echo "FAIL $clip: BD-rate $bd% is not 3% lower"; fail=1; }
done
exit $fail
