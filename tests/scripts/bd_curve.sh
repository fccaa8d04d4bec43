# Rate-distortion curves from ziravov end reports.  Sourced, not run.

# bd_curve PREFIX: "kbps,psnr_y " for QP 22, 27, 32 and 37 from the end
# reports in PREFIX22.log .. PREFIX37.log; fails when a report is missing.
bd_curve() {
  local q r p
  for q in 22 27 32 37; do
    r=$(sed -n 's/^encoded .*), \([0-9.]*\) kb\/s.*/\1/p' "$1$q.log")
    p=$(sed -n 's/^PSNR y:\([0-9.]*\).*/\1/p' "$1$q.log")
    [ -n "$r" ] && [ -n "$p" ] || { echo "no report in $1$q.log" >&2; return 1; }
    printf '%s,%s ' "$r" "$p"
  done
}

# yuv_curve PREFIX: as bd_curve with PSNR (6 Y + U + V) / 8.
yuv_curve() {
  local q r p
  for q in 22 27 32 37; do
    r=$(sed -n 's/^encoded .*), \([0-9.]*\) kb\/s.*/\1/p' "$1$q.log")
    p=$(sed -n 's/^PSNR y:\([0-9.]*\) u:\([0-9.]*\) v:\([0-9.]*\).*/\1 \2 \3/p' "$1$q.log" |
      awk '{printf "%.4f", (6 * $1 + $2 + $3) / 8}')
    [ -n "$r" ] && [ -n "$p" ] || { echo "no report in $1$q.log" >&2; return 1; }
    printf '%s,%s ' "$r" "$p"
  done
}
