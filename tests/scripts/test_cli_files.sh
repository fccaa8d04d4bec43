#!/usr/bin/env bash
# Where the outputs go and what is said about the input: outputs that meet
# through links to names that do not exist yet, a pipe whose reader quits,
# an output on the same file as standard output, memory that runs out at
# creation, a --seek that skips every picture, bytes a message cannot show.
set -u

. "${SCRIPTS:-$(dirname "$0")}/cli_lib.sh"

y4m "W$W H$H F25:1" 2 >good.y4m
timeout 60 "$ZIRAVOV" --recon ref.yuv good.y4m ref.hevc >ref_out.txt 2>/dev/null </dev/null ||
  fail "reference run failed"

# --- outputs meeting through links whose target does not exist yet: exit 5 ---
mkdir -p sub
# name|links to make (link=target ...)|arguments|files that must not exist afterwards
while IFS='|' read -r name links args absent; do
  rm -rf sub/* o_new.hevc r_new.yuv l_*
  for l in $links; do ln -s "${l#*=}" "${l%%=*}"; done
  # shellcheck disable=SC2086
  expect 5 'same file' "$name" $args
  for f in $absent; do [ ! -e "$f" ] || fail "$name: $f was written"; done
done <<'CASES'
output-links-to-recon|l_out.hevc=r_new.yuv|--recon r_new.yuv good.y4m l_out.hevc|r_new.yuv
recon-links-to-output|l_rec.yuv=o_new.hevc|--recon l_rec.yuv good.y4m o_new.hevc|o_new.hevc
both-links-to-one-name|l_a=o_new.hevc l_b=o_new.hevc|--recon l_b good.y4m l_a|o_new.hevc
chain-of-links|l_1=l_2 l_2=sub/../r_new.yuv|--recon r_new.yuv good.y4m l_1|r_new.yuv
link-in-a-folder|sub/l_rec=../o_new.hevc|--recon sub/l_rec good.y4m o_new.hevc|o_new.hevc
CASES
# A dangling link to a name of its own is an ordinary new output.
rm -f l_out.hevc r_new.yuv
ln -s r_new.yuv l_out.hevc
run dangling-link-alone good.y4m l_out.hevc
[ "$rc" -eq 0 ] && cmp -s r_new.yuv ref.hevc || fail "dangling-link-alone: exit code $rc or a stream unlike a normal run"

# --- an output pipe whose reader quits: exit 5 with a message, no SIGPIPE ----
# Noise at a low QP makes a stream several times the size of a pipe's
# buffer, so some write comes after the reader has quit, however the two
# processes are scheduled.
LW=128 LH=128
{ printf 'YUV4MPEG2 W%d H%d F25:1\n' $LW $LH; for ((i = 0; i < 30; i++)); do printf 'FRAME\n'; head -c $((LW * LH * 3 / 2)) /dev/urandom; done; } >long.y4m
mkfifo out.fifo
head -c 100 out.fifo >/dev/null &
run reader-quits --complexity 0 --qp 4 long.y4m out.fifo
wait
if [ "$rc" -ne 5 ] || ! grep -q 'cannot be written' err.txt; then
  fail "reader-quits: exit code $rc (141 = killed by SIGPIPE)"
  sed 's/^/    /' err.txt | head -3
fi
checks=$((checks + 1))
timeout 60 "$ZIRAVOV" --complexity 0 --qp 4 long.y4m /dev/stdout 2>err.txt </dev/null | head -c 100 >/dev/null
rc=${PIPESTATUS[0]}
[ "$rc" -eq 5 ] && grep -q 'cannot be written' err.txt || fail "stdout-reader-quits: exit code $rc"
# A reader of the progress lines that quits costs the stream nothing.
checks=$((checks + 1))
timeout 60 "$ZIRAVOV" good.y4m progress.hevc 2>/dev/null </dev/null | head -c 1 >/dev/null
rc=${PIPESTATUS[0]}
[ "$rc" -eq 0 ] && cmp -s progress.hevc ref.hevc || fail "progress-reader-quits: exit code $rc or a damaged stream"

# --- an output on the same file as standard output: the lines go to stderr ---
checks=$((checks + 1))
timeout 60 "$ZIRAVOV" good.y4m /dev/stdout >via_stdout.hevc 2>err.txt </dev/null
rc=$?
[ "$rc" -eq 0 ] && cmp -s via_stdout.hevc ref.hevc || fail "output-on-stdout-file: exit code $rc or the stream differs"
grep -q 'complexity' err.txt || fail "output-on-stdout-file: the settings line is not on stderr"
checks=$((checks + 1))
timeout 60 "$ZIRAVOV" good.y4m /dev/stdout 2>err.txt </dev/null | cat >via_pipe.hevc
cmp -s via_pipe.hevc ref.hevc || fail "output-on-stdout-pipe: the stream differs"
checks=$((checks + 1))
timeout 60 "$ZIRAVOV" --recon /dev/stdout good.y4m o.hevc >via_stdout.yuv 2>err.txt </dev/null
cmp -s via_stdout.yuv ref.yuv || fail "recon-on-stdout-file: the reconstruction differs"
grep -q 'encoded 2 frames' err.txt || fail "recon-on-stdout-file: the end report is not on stderr"

# --- memory that runs out at creation: said so, no output file left ----------
if ! "$ZIRAVOV" --version | grep -q 'address sanitizer'; then
  { printf 'YUV4MPEG2 W1920 H1080 F25:1\nFRAME\n'; samples $((1920 * 1080 * 3 / 2)); } >big.y4m
  printf 'keep me' >kept.hevc
  for out in fresh.hevc kept.hevc; do
    rm -f fresh.hevc
    (ulimit -v 120000; timeout 60 "$ZIRAVOV" --threads 8 big.y4m $out >out.txt 2>err.txt </dev/null)
    rc=$?
    checks=$((checks + 1))
    if [ "$rc" -ne 7 ] || ! grep -q 'memory ran out' err.txt; then
      fail "creation-out-of-memory ($out): exit code $rc"
      sed 's/^/    /' err.txt | head -3
    fi
  done
  [ ! -e fresh.hevc ] || fail "creation-out-of-memory: an output file was left behind"
  [ "$(cat kept.hevc)" = 'keep me' ] || fail "creation-out-of-memory: an existing output was emptied"
fi

# --- one output that cannot be opened: exit 5, the others left as they were ---
# name|arguments (output, recon and stats named o.hevc, r.yuv, s.log)|files kept|files absent
while IFS='|' read -r name args kept absent; do
  rm -f o.hevc r.yuv s.log l_o.hevc t_new.yuv
  for f in $kept; do printf 'keep me' >"$f"; done
  [ "$name" = "through-a-link" ] && ln -s t_new.yuv l_o.hevc
  # shellcheck disable=SC2086
  expect 5 'cannot open' "$name" $args
  for f in $kept; do [ "$(cat "$f")" = 'keep me' ] || fail "$name: $f was emptied"; done
  for f in $absent; do [ ! -e "$f" ] || fail "$name: $f was left behind"; done
done <<'CASES'
recon-after-output|--recon no_dir/r.yuv good.y4m o.hevc|o.hevc|
recon-after-new-output|--recon no_dir/r.yuv good.y4m o.hevc||o.hevc
stats-after-both|--pass 1 --stats no_dir/s.log --recon r.yuv good.y4m o.hevc|o.hevc r.yuv|
stats-after-new-both|--pass 1 --stats no_dir/s.log --recon r.yuv good.y4m o.hevc||o.hevc r.yuv
through-a-link|--recon no_dir/r.yuv good.y4m l_o.hevc||t_new.yuv
CASES
[ -L l_o.hevc ] || fail "through-a-link: the link itself was removed"

# --- messages about the input ---------------------------------------------------
expect 4 'skips past all 2 pictures' seek-to-the-end --seek 2 good.y4m o.hevc
expect 4 'skips past all 2 pictures' seek-past-the-end --seek 3 good.y4m o.hevc
{ printf 'YUV4MPEG2 W64 H6\0004 F25:1\n'; printf 'FRAME\n'; samples "$PIC"; } >nul_header.y4m
expect 4 "'H6\\\\x004'" nul-in-header nul_header.y4m o.hevc
{ printf 'YUV4MPEG2 W64 H64 F25:1 Z\001\033[2J\n'; printf 'FRAME\n'; samples "$PIC"; } >ctl_header.y4m
expect 4 "'Z\\\\x01\\\\x1b\\[2J'" control-bytes-in-header ctl_header.y4m o.hevc

# --- where each picture's samples are read from -----------------------------------
# Pictures unlike each other, as raw samples and as YUV4MPEG2 with FRAME lines
# of different lengths: every picture must be read from its own place, so
# both files (and both with the first pictures skipped) code to one stream.
frames=12
rm -f pics_64x64.yuv varied.y4m
printf 'YUV4MPEG2 W64 H64 F25:1\n' >varied.y4m
for ((i = 0; i < frames; i++)); do
  yes "picture $i $((i * 7919 % 1000))" | head -c "$PIC" >pic.bin
  cat pic.bin >>pics_64x64.yuv
  case $((i % 3)) in
  0) printf 'FRAME\n' ;;
  1) printf 'FRAME Ip\n' ;;
  *) printf 'FRAME XPICTURE=%d\n' $((i * 1000003)) ;;
  esac >>varied.y4m
  cat pic.bin >>varied.y4m
done
for seek in 0 5; do
  run "raw-seek-$seek" --seek $seek --frames 6 --complexity 0 --bframes 2 pics_64x64.yuv raw.hevc
  run "y4m-seek-$seek" --seek $seek --frames 6 --complexity 0 --bframes 2 varied.y4m y4m.hevc
  [ -s raw.hevc ] && cmp -s raw.hevc y4m.hevc || fail "seek $seek: raw and YUV4MPEG2 input coded differently"
done
run "seek-apart" --seek 5 --frames 6 --complexity 0 --bframes 2 pics_64x64.yuv raw5.hevc
run "seek-none" --frames 6 --complexity 0 --bframes 2 pics_64x64.yuv raw0.hevc
cmp -s raw0.hevc raw5.hevc && fail "seek 5 and seek 0 coded alike: the pictures were not read from their places"

echo "$checks runs, $failures failures"
[ "$failures" -eq 0 ]
