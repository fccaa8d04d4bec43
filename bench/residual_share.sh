#!/usr/bin/env bash
# Share of the residual coder in a whole encode: perf samples of a one-thread
# encode (--bframes 3 --qp 27), the residual coder's functions listed with
# their self time and summed by part (RDOQ, rate estimate, block coding,
# writer; the CU syntax estimate apart), the rest of the encode as one line.
# Usage: bench/residual_share.sh BIN [clip.y4m]
# Environment: FRAMES (default 30), LEVEL (complexity, default 4),
#   ARGS (more ziravov options), FREQ (samples per second, default 10000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 BIN [clip.y4m]" >&2
  exit 2
fi
command -v perf >/dev/null 2>&1 || { echo "perf not found" >&2; exit 2; }
bin=$1
clip=${2:-$root/../shared/clips/foreman_cif_60f.y4m}
[ -r "$clip" ] || { echo "clip $clip missing" >&2; exit 2; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# shellcheck disable=SC2086
perf record -q -F "${FREQ:-10000}" -o "$out/perf.data" "$bin" --log-level 0 --threads 1 --frames "${FRAMES:-30}" \
  --complexity "${LEVEL:-4}" --bframes 3 --qp 27 ${ARGS:-} "$clip" "$out/out.hevc" >/dev/null 2>&1
perf report -i "$out/perf.data" --no-children --sort symbol --stdio 2>/dev/null >"$out/report.txt"

printf '%s, %s pictures, complexity %s, one thread\n' "$(basename "$clip")" "${FRAMES:-30}" "${LEVEL:-4}"
awk '
  # The CU, PU and transform-tree syntax estimates are listed apart: they
  # are no part of the residual coder.
  function part(sym) {
    if (sym ~ /cu_writer<.*sink_estimate/) return "syntax estimate"
    if (sym ~ /write_residual<.*sink_estimate|^residual_bits$|count_nonzero|coeff_scan_groups/) return "rate estimate"
    if (sym ~ /write_residual<.*sink_code/) return "writer"
    if (sym ~ /^transform_block_code$|sign_hiding_adjust|dequant/) return "block coding"
    if (sym ~ /decide_block|decide_levels|refine_group|choose_last|advance_copies|last_rounded|rdoq|quant_nxn|quant_[0-9]/)
      return "RDOQ and quantisation"
    return ""
  }
  /^ +[0-9.]+%/ {
    pct = $1 + 0
    sym = $0
    sub(/^ +[0-9.]+% +\[[^]]*\] +/, "", sym)
    sub(/ +- +- *$/, "", sym)
    p = part(sym)
    total += pct
    if (p == "") next
    share[p] += pct
    if (pct >= 0.1) printf "  %6.2f%%  %-26s %s\n", pct, p, sym
  }
  END {
    printf "by part:\n"
    for (p in share) {
      printf "  %6.2f%%  %s\n", share[p], p
      if (p != "syntax estimate") all += share[p]
    }
    printf "  %6.2f%%  residual coder in all\n  %6.2f%%  the rest\n", all, total - all - share["syntax estimate"]
  }' "$out/report.txt"
