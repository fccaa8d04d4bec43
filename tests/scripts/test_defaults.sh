#!/usr/bin/env bash
# A plain run (no rate option) codes with the defaults its settings line
# reports: a constant rate factor of 23 with AQ mode 2 at strength 0.5, so
# that the CU-tree's offsets reach the CTU QPs, at about the rate of constant
# QP 27.  The plain stream is the same for every thread count and CPU tier
# and decodes in ffmpeg and libde265 to the reconstruction.  --qp alone still
# codes every CTU at its picture's QP, and AQ's default follows the rate mode.
set -u
. "$(dirname "$0")/conformance_lib.sh"
conf_init
conf_need_clips foreman_cif_60f.y4m
foreman=$CLIPS/foreman_cif_60f.y4m
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# settings_of NAME: the rate part of NAME.out's settings line.
settings_of() { grep -o 'rc [a-z]*, qp [0-9]*, bitrate [0-9]*, crf [0-9.]*, aq-mode [0-9], aq-strength [0-9.]*' "$1.out"; }

# Encodes as NAME with --log-level 2 (picture lines in NAME.err), in the
# background so that the runs share the machine.
run() {
  local name=$1
  shift
  conf_encode "$name" "$foreman" --log-level 2 "$@" || true
}
run plain --frames 10 &
run plain-t1 --frames 10 --threads 1 --cpu-flags 0 &
run plain-t8 --frames 10 --threads 8 --cpu-flags 2 &
run plain-named --frames 10 --crf 23 --aq-mode 2 --aq-strength 0.5 --cpu-flags 7 &
run qp27 --frames 10 --qp 27 &
run qp27-old --frames 10 --qp 27 --aq-mode 0 &
run rate-plain --frames 30 &
run rate-qp27 --frames 30 --qp 27 &
wait

# --- what a plain run codes with, and that it decodes
settings=$(settings_of plain)
[ "$settings" = "rc crf, qp 27, bitrate 0, crf 23.0, aq-mode 2, aq-strength 0.5" ] ||
  fail "plain run: settings '$settings', expected CRF 23 with AQ mode 2 at strength 0.5"
conf_decode_check plain 352 288 10 || failures=$((failures + 1))
# The CU-tree's offsets reach the key and P pictures' CTU QPs: their picture
# lines report the mean offset, and the coded QPs vary around the slice QP.
grep -q ' cutree -[0-9.]*$' plain.err || fail "plain run: no picture carries the CU-tree's offsets"
awk '$1 == "frame" && $9 == "avg-qp" && $10 != $6 ".00" { varied = 1 } END { exit !varied }' plain.err || fail "plain run: every picture coded with its slice QP only"
for other in plain-t1 plain-t8 plain-named; do
  [ -s "$other.hevc" ] && cmp -s plain.hevc "$other.hevc" ||
    fail "$other: another stream than the plain run ($(cat "$other.cmd"))"
done

# --- --qp alone: constant QP without AQ, today's and earlier constant-QP
# streams alike
settings=$(settings_of qp27)
[ "$settings" = "rc cqp, qp 27, bitrate 0, crf 23.0, aq-mode 0, aq-strength 0.5" ] || fail "--qp 27: settings '$settings'"
grep -q 'cutree' qp27.err && fail "--qp 27: CU-tree offsets in the CTU QPs"
cmp -s qp27.hevc qp27-old.hevc || fail "--qp 27 and --qp 27 --aq-mode 0 give different streams"
conf_decode_check qp27 352 288 10 || failures=$((failures + 1))

# --- the default factor's rate stays near that of QP 27 (30 pictures of
# foreman: 1.01 times at the time of the choice)
kbps() { sed -n 's/^encoded .*), \([0-9.]*\) kb\/s.*/\1/p' "$1.out"; }
ratio=$(awk -v a="$(kbps rate-plain)" -v b="$(kbps rate-qp27)" 'BEGIN { if (b > 0) printf "%.2f", a / b }')
awk -v r="${ratio:-0}" 'BEGIN { exit !(r >= 0.75 && r <= 1.33) }' ||
  fail "plain run at ${ratio:-?} times the rate of --qp 27 (expected 0.75..1.33)"

# --- AQ's default by rate mode, as the program passes it to the library
for case in "--bitrate 300|rc abr.*aq-mode 2" "--bitrate 300 --vbv-maxrate 300 --vbv-bufsize 300|aq-mode 0" \
  "--crf 30 --vbv-maxrate 300 --vbv-bufsize 300|rc crf.*aq-mode 0" "--bitrate 300 --cbr|rc cbr.*aq-mode 0" \
  "--lqp|rc lqp.*aq-mode 0" "--qp 30 --aq-mode 1|rc cqp.*aq-mode 1" "--crf 30 --qp 20|rc crf, qp 20.*aq-mode 2"; do
  args=${case%%|*}
  # shellcheck disable=SC2086
  timeout 60 "$ZIRAVOV" $args --frames 1 --threads 1 "$foreman" m.hevc >m.out 2>&1 </dev/null ||
    fail "$args: exit code $?"
  grep -q "${case#*|}" m.out || fail "$args: settings '$(settings_of m)', expected '${case#*|}'"
done

echo "plain run at $ratio times the rate of --qp 27"
echo "$failures failures"
[ "$failures" -eq 0 ]
