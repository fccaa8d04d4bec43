#!/usr/bin/env bash
# Under an address-space limit the encoder either runs or ends with exit 7
# and a message, at creation (saying that memory ran out, and leaving no
# output file) or while encoding: never an abort from an allocation on a
# worker thread, never a refusal of the settings.  The limits sweep from too
# small for the encoder to enough, so every allocation point is hit in some
# run.
set -u

. "${SCRIPTS:-$(dirname "$0")}/cli_lib.sh"

if "$ZIRAVOV" --version | grep -q 'address sanitizer'; then
  echo "AddressSanitizer reserves more address space than any limit: skipped"
  exit 77
fi

W=176 H=144 PIC=$((W * H * 3 / 2))
y4m "W$W H$H F25:1" 20 >long.y4m

limit_run() { # limit_run KB
  (
    ulimit -v "$1"
    timeout 120 "$ZIRAVOV" --complexity 0 --threads 8 --frames 20 --bframes 4 long.y4m "o_$1.hevc" >"out_$1.txt" 2>"err_$1.txt" </dev/null
    echo $? >"rc_$1"
  )
}

# The encoder of this test (8 threads, 12 frame contexts) ran from about
# 190 MB of address space while every thread kept the system's 8 MB stack,
# from about 90 MB with 1 MB stacks, and from about 70 MB since its picture
# pool and bitstream buffers follow their real bounds, so the sweep ends at
# 110 MB.
limits=()
for ((kb = 30000; kb <= 110000; kb += 5000)); do limits+=("$kb"); done
jobs_max=$((($(nproc 2>/dev/null || echo 4) + 1) / 2))
for kb in "${limits[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n; done
  limit_run "$kb" &
done
wait

ok=0
created=0
for kb in "${limits[@]}"; do
  checks=$((checks + 1))
  rc=$(cat "rc_$kb")
  case $rc in
  0) ok=$((ok + 1)) ;;
  7)
    grep -q 'ziravov:' "err_$kb.txt" || fail "limit $kb KB: exit $rc without a message"
    if grep -q 'memory ran out while creating' "err_$kb.txt"; then
      created=$((created + 1))
      [ ! -e "o_$kb.hevc" ] || fail "limit $kb KB: an output file was left although nothing was encoded"
    fi
    ;;
  *)
    fail "limit $kb KB: exit code $rc"
    sed 's/^/    /' "err_$kb.txt" | head -5
    ;;
  esac
done
[ "$ok" -gt 0 ] || fail "no run succeeded even with ${limits[-1]} KB"
[ "$created" -gt 0 ] || fail "no limit was too small for the encoder's creation"
echo "$checks runs ($ok complete), $failures failures"
[ "$failures" -eq 0 ]
