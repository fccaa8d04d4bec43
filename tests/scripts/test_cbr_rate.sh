#!/usr/bin/env bash
# Constant bitrate holds its rate on clips long enough to show it: foreman
# looped to 300 pictures, flower at 10 pictures a second (scaled to 352x208)
# looped to 300, and a clip with two scene cuts (foreman, bus, foreman).
# Each at three rates and at 1, 4 and 8 threads: the whole stream within 5%
# of the rate and every whole second of it (pictures in decoding order)
# within 0.4-2.0 times the rate (0.25-2.5 at 10 pictures a second, where a
# second holds one or two P pictures, which carry most of flower's bits).
# With --vbv-maxrate R --vbv-bufsize R at the middle rate, a buffer
# simulated from the stream's own picture sizes (starting 90% full, each
# picture leaving it, R / fps coming in, capped) never runs dry, the seconds
# keep the same bounds and the stream stays at most 5% above the rate (below
# it, VBV's planning holds flower's P pictures back: 33% below, and seconds
# down to 0.16 times the rate).
# The 60-picture foreman clip stays within 10%.  The picture sizes are read from the stream itself, and
# two of the streams must decode in ffmpeg and libde265 to the
# reconstruction.
set -u
# shellcheck source=conformance_lib.sh
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"
conf_init
conf_need_clips foreman_cif_60f.y4m bus_cif_17f.y4m flower_720p_30f.y4m
command -v python3 >/dev/null || { echo "python3 not found: skipped"; exit 77; }

# clip.py OUT FPS PART... with PART = FILE:PICTURES: the parts one after the
# other, each running through its file forwards and back again until it has
# its pictures (no cut where a part loops).
cat >clip.py <<'EOF'
import sys
def frames(path):
    d = open(path, 'rb').read()
    head = d[:d.index(b'\n')].split()
    w = int([t for t in head if t[:1] == b'W'][0][1:])
    h = int([t for t in head if t[:1] == b'H'][0][1:])
    size, out, p = w * h * 3 // 2, [], d.index(b'\n') + 1
    while p < len(d):
        p = d.index(b'\n', p) + 1
        out.append(d[p:p + size])
        p += size
    return w, h, out
pics = []
for part in sys.argv[3:]:
    path, n = part.rsplit(':', 1)
    w, h, f = frames(path)
    loop = f + f[-2:0:-1] if len(f) > 1 else f
    pics += [loop[i % len(loop)] for i in range(int(n))]
with open(sys.argv[1], 'wb') as o:
    o.write(b'YUV4MPEG2 W%d H%d F%s Ip A1:1 C420jpeg\n' % (w, h, sys.argv[2].encode()))
    for p in pics:
        o.write(b'FRAME\n' + p)
EOF

# rate.py STREAM KBPS FPS [BUFFER_KBIT]: the access units of an Annex B
# stream (a picture starts at a parameter set, an access unit delimiter or a
# first slice segment after the last picture's slices); prints the rate's
# error in percent, the lowest and highest whole second as a multiple of
# the rate, and the lowest buffer fill as a share of the buffer.
cat >rate.py <<'EOF'
import sys
d = open(sys.argv[1], 'rb').read()
rate, fps = float(sys.argv[2]) * 1000, float(sys.argv[3])
buf = float(sys.argv[4]) * 1000 if len(sys.argv) > 4 else 0.0
starts, i = [], 0
while True:
    j = d.find(b'\x00\x00\x01', i)
    if j < 0:
        break
    starts.append((j - 1 if j > 0 and d[j - 1] == 0 else j, j + 3))
    i = j + 3
sizes, cur, vcl = [], 0, False
for k, (s, p) in enumerate(starts):
    e = starts[k + 1][0] if k + 1 < len(starts) else len(d)
    t = (d[p] >> 1) & 0x3f
    first = t < 32 and d[p + 2] & 0x80
    if vcl and (32 <= t <= 35 or first):
        sizes.append(cur)
        cur, vcl = 0, False
    cur += e - s
    vcl = vcl or t < 32
sizes.append(cur)
bits = [8 * s for s in sizes]
w = max(1, round(fps))
secs = [sum(bits[i:i + w]) / rate for i in range(0, len(bits) - w + 1, w)] or [0.0]
fill = low = 0.9 * buf
for b in bits:
    fill -= b
    low = min(low, fill)
    fill = min(buf, fill + rate / fps)
print('%d %.2f %.2f %.2f %.3f' % (len(bits), 100 * (sum(bits) * fps / len(bits) / rate - 1),
                                  min(secs), max(secs), low / buf if buf else 1.0))
EOF

ffmpeg -v error -y -i "$CLIPS/flower_720p_30f.y4m" -vf scale=352:208 -pix_fmt yuv420p flower_s.y4m </dev/null ||
  { conf_fail setup "cannot scale flower"; exit 1; }
python3 clip.py foreman300.y4m 30:1 "$CLIPS/foreman_cif_60f.y4m:300" &&
  python3 clip.py flower300.y4m 10:1 flower_s.y4m:300 &&
  python3 clip.py cut300.y4m 30:1 "$CLIPS/foreman_cif_60f.y4m:100" "$CLIPS/bus_cif_17f.y4m:100" \
    "$CLIPS/foreman_cif_60f.y4m:100" || { conf_fail setup "cannot build the clips"; exit 1; }

# One case per line: name clip fps kbps threads [vbv].
cases() {
  local clip fps rates r t
  for spec in "foreman300 30 300,500,1000" "flower300 10 100,150,300" "cut300 30 300,400,800"; do
    set -- $spec
    clip=$1 fps=$2 rates=$3
    for r in ${rates//,/ }; do
      for t in 1 4 8; do echo "$clip-$r-t$t $clip $fps $r $t"; done
    done
    r=$(echo "$rates" | cut -d, -f2)
    for t in 1 8; do echo "$clip-$r-t$t-vbv $clip $fps $r $t vbv"; done
  done
}

# Encodes and checks one case; the bounds of the issue's streaming user.
run_case() {
  local name=$1 clip=$2 fps=$3 kbps=$4 threads=$5 vbv=${6:-}
  local args=(--cbr --bitrate "$kbps" --threads "$threads" --complexity 1)
  [ -n "$vbv" ] && args+=(--vbv-maxrate "$kbps" --vbv-bufsize "$kbps")
  "$ZIRAVOV" "${args[@]}" "$clip.y4m" "$name.hevc" >"$name.out" 2>"$name.err" </dev/null ||
    { conf_fail "$name" "exit code $?: ${args[*]}"; return; }
  set -- $(python3 rate.py "$name.hevc" "$kbps" "$fps" "$kbps")
  echo "$name: $1 pictures, rate ${2}%, seconds $3-$4x, lowest buffer fill $5" >"$name.res"
  [ "$1" -eq 300 ] || conf_fail "$name" "$1 pictures, not 300"
  local low=0.4 high=2.0 under=-5
  [ "$fps" -lt 20 ] && low=0.25 high=2.5
  [ -n "$vbv" ] && under=-35
  [ -n "$vbv" ] && [ "$fps" -lt 20 ] && low=0.1
  awk -v e="$2" -v u="$under" 'BEGIN { exit !(e >= u && e <= 5) }' || conf_fail "$name" "rate $2% off its target"
  awk -v lo="$3" -v hi="$4" -v l="$low" -v h="$high" 'BEGIN { exit !(lo >= l && hi <= h) }' ||
    conf_fail "$name" "a second took $3-$4 times the rate"
  if [ -n "$vbv" ]; then
    awk -v f="$5" 'BEGIN { exit !(f >= 0) }' || conf_fail "$name" "the buffer ran dry (lowest fill $5)"
  fi
}

export -f run_case conf_fail
export ZIRAVOV
cases | xargs -P "$CONF_JOBS" -L 1 bash -c 'run_case "$@"' _
cat ./*.res

# 60 pictures: the model's start decides more of the rate.
for r in 500 1000; do
  for t in 1 8; do
    (
      name=short-$r-t$t
      "$ZIRAVOV" --cbr --bitrate $r --threads $t --complexity 1 "$CLIPS/foreman_cif_60f.y4m" $name.hevc \
        >$name.out 2>&1 </dev/null || { conf_fail $name "exit code $?"; exit; }
      set -- $(python3 rate.py $name.hevc $r 29.97)
      echo "$name: rate $2%"
      awk -v e="$2" 'BEGIN { exit !(e >= -10 && e <= 10) }' || conf_fail $name "rate $2% off its target"
    ) &
  done
done
wait

# The reconstruction is what both decoders show, with and without VBV.
if conf_encode dec "$PWD/cut300.y4m" --cbr --bitrate 400 --threads 4 --complexity 1 --frames 120; then
  conf_decode_check dec 352 288 120
fi
if conf_encode decv "$PWD/flower300.y4m" --cbr --bitrate 150 --vbv-maxrate 150 --vbv-bufsize 150 --threads 4 \
  --complexity 1 --frames 60; then
  conf_decode_check decv 352 208 60
fi

failed=$(ls ./*.fail 2>/dev/null | wc -l)
[ "$failed" -eq 0 ] || { echo "$failed case(s) failed"; exit 1; }
echo "all constant-bitrate cases passed"
