#!/usr/bin/env bash
# Deblocking and SAO must lower the bitrate at equal quality: the
# Bjontegaard delta rate of filters on against both off, QP 22-37, on a
# real clip, on the PSNR of Y, U and V weighted 6:1:1 (SAO corrects chroma as
# well as luma), must be below -9% (about -11.5% measured; -10.5% on luma alone).
set -u
[ -d "${CLIPS:-}" ] || { echo "skip: no clips folder"; exit 77; }
command -v python3 >/dev/null || { echo "skip: no python3"; exit 77; }
mkdir -p "$SCRATCH" && cd "$SCRATCH" || exit 1
tools=$(cd "$SCRIPTS/../tools" && pwd)
. "$SCRIPTS/bd_curve.sh"
clip="$CLIPS/foreman_cif_60f.y4m"
[ -f "$clip" ] || { echo "skip: $clip missing"; exit 77; }
for q in 22 27 32 37; do
  "$ZIRAVOV" --log-level 0 --frames 8 --bframes 3 --qp $q "$clip" on$q.hevc >on$q.log 2>&1 &
  "$ZIRAVOV" --log-level 0 --frames 8 --bframes 3 --qp $q --no-deblock --no-sao "$clip" off$q.hevc >off$q.log 2>&1 &
done
wait
off=$(yuv_curve off) && on=$(yuv_curve on) || exit 1
bd=$(python3 "$tools/bd_rate.py" "$off" "$on") || exit 1
bd_y=$(python3 "$tools/bd_rate.py" "$(bd_curve off)" "$(bd_curve on)") || exit 1
echo "filters on vs off: BD-rate YUV $bd%, Y $bd_y% (YUV off: $off; on: $on)"
python3 -c "import sys; sys.exit(0 if float('$bd') < -9 else 1)"
