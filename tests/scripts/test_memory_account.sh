#!/usr/bin/env bash
# What the encoder reserves and whether it is enough.  With log bit 1 the
# library reports its memory by kind once, at creation, and the kinds add up
# to the total; without it nothing is said.  Noise coded at QP 0, the most
# a picture can cost, fits the bitstream buffers at every complexity, with
# and without wavefront substreams, in intra, P and B pictures: every encode
# ends well and a decoder reads every picture back.
set -u

. "${SCRIPTS:-$(dirname "$0")}/cli_lib.sh"
command -v ffmpeg >/dev/null 2>&1 || { echo "ffmpeg not found: skipped"; exit 77; }

W=200 H=136
ffmpeg -v error -y -f lavfi -i "nullsrc=s=${W}x$H:r=25,format=yuv420p,geq=lum='random(1)*255':cb='random(2)*255':cr='random(3)*255'" \
  -frames:v 3 -f yuv4mpegpipe noise.y4m </dev/null || { echo "cannot make the noise input"; exit 1; }

# The account: five kinds and a total that is their sum (each rounded to
# 0.1 MB), printed once.
run account --log-level 2 --frames 1 noise.y4m a.hevc
[ "$rc" -eq 0 ] || fail "account: exit code $rc"
kinds=$(grep -c -E '^tarnhevcenc:   (pictures|frame contexts|row contexts|bitstream buffers|scratch and tables) +[0-9.]+ MB$' err.txt)
[ "$kinds" -eq 5 ] || fail "account: $kinds of the five kinds reported"
[ "$(grep -c 'memory reserved at creation' err.txt)" -eq 1 ] || fail "account: not reported exactly once"
awk '/^tarnhevcenc:   / && / MB$/ { if ($2 == "total") t = $(NF - 1); else s += $(NF - 1) }
     END { exit !(t > 0 && s - t < 0.3 && t - s < 0.3) }' err.txt || fail "account: the kinds do not add up to the total"
run quiet --log-level 1 --frames 1 noise.y4m q.hevc
! grep -q 'memory reserved' err.txt || fail "account: reported without log bit 1"

# Intra, B and P pictures in one encode (I B P in coding order).
qp0_run() { # qp0_run LEVEL WPP: leaves rc_LEVEL_WPP, err_LEVEL_WPP.txt, pics_LEVEL_WPP
  local tag=$1$2
  timeout 120 "$ZIRAVOV" --log-level 0 --qp 0 --complexity "$1" "$2" --bframes 1 --threads 2 noise.y4m "n$tag.hevc" \
    >/dev/null 2>"err$tag.txt" </dev/null
  echo $? >"rc$tag"
  ffmpeg -v error -i "n$tag.hevc" -f framecrc - </dev/null 2>/dev/null | grep -c '^0,' >"pics$tag"
}
jobs_max=$((($(nproc 2>/dev/null || echo 4) + 1) / 2))
for level in 0 1 2 3 4 5 6 7; do
  for wpp in --wpp --no-wpp; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n; done
    qp0_run $level $wpp &
  done
done
wait
for level in 0 1 2 3 4 5 6 7; do
  for wpp in --wpp --no-wpp; do
    tag=$level$wpp
    checks=$((checks + 1))
    if [ "$(cat "rc$tag")" -ne 0 ]; then
      fail "QP 0 noise, complexity $level $wpp: exit code $(cat "rc$tag")"
      sed 's/^/    /' "err$tag.txt" | head -3
    elif [ "$(cat "pics$tag")" -ne 3 ]; then
      fail "QP 0 noise, complexity $level $wpp: a decoder read $(cat "pics$tag") of 3 pictures"
    fi
  done
done
echo "$checks runs, $failures failures"
[ "$failures" -eq 0 ]
