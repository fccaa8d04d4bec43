# Pieces the encoder benchmarks share: the clips by name, timed runs, the
# rate-distortion points of ziravov and x265 and the summed run times.
# Sourced, not run; expects $clips and $work.

# clip_file NAME: the y4m of a clip name and its picture count.
clip_file() {
  case $1 in
    foreman) echo "$clips/foreman_cif_60f.y4m 60" ;;
    flower720) echo "$clips/flower_720p_30f.y4m 30" ;;
    flower1080)
      # Made once per run, never kept: an upscale of the 720p clip.
      if [ ! -f "$work/flower_1080p.y4m" ]; then
        ffmpeg -loglevel error -y -i "$clips/flower_720p_30f.y4m" -vf scale=1920:1080:flags=bicubic \
          -pix_fmt yuv420p "$work/flower_1080p.y4m" >&2 || return 1
      fi
      echo "$work/flower_1080p.y4m 30"
      ;;
    *) return 1 ;;
  esac
}

# timed OUT CMD...: runs CMD, leaving "wall user sys maxrss_kb" in OUT.time.
timed() {
  local out=$1
  shift
  /usr/bin/time -f '%e %U %S %M' -o "$out.time" "$@" >"$out.log" 2>&1 ||
    { echo "failed: $*" >&2; cat "$out.log" >&2; return 1; }
}

# ziravov's end report and x265's CSV summary give "kbps,psnr_y".
zv_point() {
  local r p
  r=$(sed -n 's/^encoded .*), \([0-9.]*\) kb\/s.*/\1/p' "$1.log")
  p=$(sed -n 's/^PSNR y:\([0-9.]*\).*/\1/p' "$1.log")
  [ -n "$r" ] && [ -n "$p" ] || { echo "no report in $1.log" >&2; return 1; }
  echo "$r,$p"
}
x265_point() {
  python3 - "$1.csv" <<'EOF'
import csv, sys
rows = list(csv.reader(open(sys.argv[1]), skipinitialspace=True))
head = [h.strip() for h in rows[0]]
last = [v.strip() for v in rows[-1]]
print(f"{last[head.index('Bitrate')]},{last[head.index('Y PSNR')]}")
EOF
}

# totals PREFIX: "wall_s cpu_s peak_rss_kb" summed (peak: largest) over the QPs.
totals() {
  cat "$1"*.time | awk '{ w += $1; c += $2 + $3; if ($4 > m) m = $4 } END { printf "%.2f %.2f %d\n", w, c, m }'
}

# x265 from the Debian archive when it is missing.
need_x265() {
  command -v x265 >/dev/null && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq x265 >/dev/null ||
    { echo "x265 is missing and could not be installed" >&2; exit 2; }
}
