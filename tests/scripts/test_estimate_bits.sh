#!/usr/bin/env bash
# The rate estimator must agree with the CABAC writer: for every picture of
# real clips, intra and inter, QP 22-37, the slice data bits estimated from
# the final decisions are within 2% of the bits actually written (or within
# the byte alignment of its substreams for pictures of a few bytes).
set -u
[ -d "${CLIPS:-}" ] || { echo "skip: no clips folder"; exit 77; }
mkdir -p "$SCRATCH" && cd "$SCRATCH" || exit 1
fail=0
for clip in carphone_qcif foreman_cif_60f; do
  [ -f "$CLIPS/$clip.y4m" ] || { echo "skip: $clip missing"; exit 77; }
  for mode in "--keyint 1" "--bframes 3" "--bframes 0"; do
    for q in 22 27 32 37; do
      name="$clip-q$q-${mode// /}"
      "$ZIRAVOV" --frames 8 --qp $q $mode --log-level 2 --estimate-check "$CLIPS/$clip.y4m" "$name.hevc" \
        >"$name.log" 2>&1 &
    done
  done
done
wait
for log in *.log; do
  rows=$(grep -c '^frame ' "$log")
  [ "$rows" -gt 0 ] || { echo "FAIL $log: no picture lines"; fail=1; continue; }
  awk -v name="$log" '
    /^frame / {
      est = $10; data = $12
      diff = est - data; if (diff < 0) diff = -diff
      lim = 0.02 * data; if (lim < 64) lim = 64
      if (diff > lim) { printf "FAIL %s: frame %s estimated %d bits, coded %d\n", name, $2, est, data; bad = 1 }
      te += est; td += data
    }
    END { printf "%s: estimated %d coded %d bits (%.2f%%)\n", name, te, td, 100 * (te - td) / td; exit bad }' "$log" || fail=1
done
exit $fail
