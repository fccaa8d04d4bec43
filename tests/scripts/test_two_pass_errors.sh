#!/usr/bin/env bash
# A second pass against a statistics file it cannot use: settings that
# differ from the first pass get their message and exit code 9, a missing
# file exit code 3, crafted files (an over-long type word, a display index
# twice or out of range, an over-long line, no header) are refused with a
# message; a last line without a line feed is not read; the statistics
# file named as the output or reconstruction file is refused, and so is a
# pipe or device (never read: it could block or never end); a file longer
# than the input's pictures can need is refused as damaged in little memory;
# so is, before anything is encoded, a file for fewer pictures than are to
# be coded or for more than the input holds.  Small pictures, so
# that the sanitizer build runs it too.
set -u
# shellcheck source=cli_lib.sh
. "${SCRIPTS:-$(dirname "$0")}/cli_lib.sh"

y4m 'W64 H64 F25:1 Ip' 6 >in.y4m
y4m 'W64 H64 F30:1 Ip' 6 >in30.y4m
W=96 PIC=$((96 * 64 * 3 / 2)) y4m 'W96 H64 F25:1 Ip' 6 >wide.y4m
common=(--complexity 0 --bframes 3 --bitrate 200 --threads 1)

run pass1 --pass 1 --stats s.log "${common[@]}" in.y4m p1.hevc
[ "$rc" -eq 0 ] || fail "pass 1: exit code $rc"
[ "$(wc -l <s.log)" -eq 7 ] || fail "pass 1: $(wc -l <s.log) lines, expected a header and 6 pictures"
run pass2 --pass 2 --stats s.log "${common[@]}" in.y4m p2.hevc
[ "$rc" -eq 0 ] || fail "pass 2: exit code $rc: $(head -n 3 err.txt)"

expect 9 'resolution does not match! Previous is 64x64, now is 96x64' size --pass 2 --stats s.log "${common[@]}" wide.y4m o.hevc
expect 9 'fps does not match!' fps --pass 2 --stats s.log "${common[@]}" in30.y4m o.hevc
expect 9 'idr-period does not match! Previous is 250, now is 4' keyint --pass 2 --stats s.log "${common[@]}" --keyint 4 in.y4m o.hevc
expect 9 'opengop does not match! Previous is 0, now is 1' opengop --pass 2 --stats s.log "${common[@]}" --open-gop in.y4m o.hevc
expect 9 'bframes does not match! Previous is 3, now is 2' bframes --pass 2 --stats s.log "${common[@]}" --bframes 2 in.y4m o.hevc
expect 9 'scenecut does not match! Previous is 40, now is 10' scenecut --pass 2 --stats s.log "${common[@]}" --scenecut 10 in.y4m o.hevc
expect 3 'cannot read statistics file' missing --pass 2 --stats nothing.log "${common[@]}" in.y4m o.hevc
expect 2 'needs --bitrate' crf --pass 2 --stats s.log --crf 30 in.y4m o.hevc
# A target below the bits that do not shrink with the QP: the sound file is
# not called damaged; the library refuses the setting (exit code 6).
expect 6 'bitrate 1 is too low for the second pass' low-rate --pass 2 --stats s.log --complexity 0 --bframes 3 \
  --bitrate 1 --threads 1 in.y4m o.hevc
grep -q -i damaged err.txt && fail "low-rate: the message calls the statistics file damaged"
expect 2 'cannot be combined with --cbr' cbr --pass 2 --cbr --stats s.log "${common[@]}" in.y4m o.hevc

# crafted NAME SED-EXPRESSION PATTERN: the file changed by the expression is refused.
crafted() {
  sed "$2" s.log >c.log
  expect 9 "$3" "$1" --pass 2 --stats c.log "${common[@]}" in.y4m o.hevc
}
crafted long-type '3s/type:.*/type:brefbrefbrefbrefbrefbrefbrefbrefbrefbrefbrefbref/' 'no known picture type'
crafted empty-type '3s/type:.*/type:/' 'no known picture type'
crafted twice '4s/play:[0-9]*/play:0/' 'display index 0 appears twice'
crafted outside '4s/play:[0-9]*/play:6/' 'outside the 6 pictures'
crafted long-line "3s/bits:/bits:$(printf '%0300d' 0)/" 'is too long'
crafted no-header '1d' 'no statistics header'

# A last line without a line feed is not read: garbage there changes nothing.
{ cat s.log; printf '7 play:7 qp:x type:zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz'; } >tail.log
run tail --pass 2 --stats tail.log "${common[@]}" in.y4m tail.hevc
[ "$rc" -eq 0 ] || fail "unterminated last line: exit code $rc: $(head -n 3 err.txt)"
cmp -s tail.hevc p2.hevc || fail "unterminated last line: the stream differs from the plain second pass"

# Bits no sum of two 32-bit fields can hold: the plan stays defined (the
# sanitizer build stops at an overflow) and the second pass runs.
sed '3s/bits: [0-9]* [0-9]*/bits: 2000000000 2000000000/' s.log >huge.log
run huge-bits --pass 2 --stats huge.log "${common[@]}" in.y4m huge.hevc
[ "$rc" -eq 0 ] || fail "huge bits: exit code $rc: $(head -n 3 err.txt)"

# In a second pass the statistics file is an input: the output or the
# reconstruction file named like it is refused and both are left as they
# were.
cp s.log keep.log
expect 5 "the output 'keep.log' is the statistics file" stats-as-output --pass 2 --stats keep.log "${common[@]}" \
  in.y4m keep.log
cmp -s keep.log s.log || fail "stats-as-output: the statistics file was changed"
cp s.log keep.log
expect 5 "the reconstruction file 'keep.log' is the statistics file" stats-as-recon --pass 2 --stats keep.log \
  "${common[@]}" --recon keep.log in.y4m kept.hevc
cmp -s keep.log s.log || fail "stats-as-recon: the statistics file was changed"
[ ! -e kept.hevc ] || fail "stats-as-recon: an output was written"

# A statistics file is read only when it is a regular file: a pipe nobody
# writes would block forever, a device would be read without end.
mkfifo fifo.log
RUN_TIMEOUT=20 expect 3 'not a regular file' fifo --pass 2 --stats fifo.log "${common[@]}" in.y4m o.hevc
RUN_TIMEOUT=20 expect 3 'not a regular file' device --pass 2 --stats /dev/zero "${common[@]}" in.y4m o.hevc

# What is read is bounded by the input's pictures (one line each): a file
# longer than that is refused as damaged at once and in little memory,
# whether of empty lines (the library would make a record of each) or of
# one huge sparse block.
# small_memory NAME: the last run's peak resident size stays near a refusal
# that reads nothing.
base_kb=
small_memory() {
  local kb
  kb=$(tail -n 1 rss.txt)
  [ -n "$base_kb" ] || base_kb=$kb
  [ "$kb" -le $((base_kb + 65536)) ] || fail "$1: peak resident size $kb KB, against $base_kb KB for a missing file"
}
measured() { RUN_TIMEOUT=30 ZIRAVOV_REAL=$ZIRAVOV ZIRAVOV=./timed.sh "$@"; small_memory "$4"; }
printf '#!/bin/sh\nexec /usr/bin/time -f %%M -o rss.txt "$ZIRAVOV_REAL" "$@"\n' >timed.sh
chmod +x timed.sh
measured expect 3 'cannot read statistics file' baseline --pass 2 --stats nothing.log "${common[@]}" in.y4m o.hevc
{ head -n 1 s.log; head -c 3000000 /dev/zero | tr '\0' '\n'; } >empty_lines.log
measured expect 9 'damaged.*longer than' empty-lines --pass 2 --stats empty_lines.log "${common[@]}" in.y4m o.hevc
truncate -s 256M sparse.log
measured expect 9 'damaged.*longer than' sparse --pass 2 --stats sparse.log "${common[@]}" in.y4m o.hevc

# A file with fewer pictures than the second pass would code (a first pass
# stopped early or run with --frames, a last line without its line feed)
# is refused before anything is encoded, naming both counts, and an earlier
# output stays; one with more pictures than the input was written for
# another input.  --frames within the file's pictures is a sound run.
run pass1-short --pass 1 --stats s4.log "${common[@]}" --frames 4 in.y4m p1s.hevc
[ "$rc" -eq 0 ] || fail "pass 1 of 4 pictures: exit code $rc"
printf 'earlier' >earlier.hevc
expect 9 'holds 4 pictures.* 6 ' fewer --pass 2 --stats s4.log "${common[@]}" in.y4m earlier.hevc
[ "$(cat earlier.hevc)" = earlier ] || fail "fewer: the earlier output was changed"
head -c -1 s.log >unterminated.log
expect 9 'holds 5 pictures.* 6 ' unterminated --pass 2 --stats unterminated.log "${common[@]}" in.y4m earlier.hevc
[ "$(cat earlier.hevc)" = earlier ] || fail "unterminated: the earlier output was changed"
y4m 'W64 H64 F25:1 Ip' 4 >in4.y4m
expect 9 'holds 6 pictures.* 4 ' more --pass 2 --stats s.log "${common[@]}" in4.y4m o.hevc
run within --pass 2 --stats s4.log "${common[@]}" --frames 3 in.y4m within.hevc
[ "$rc" -eq 0 ] || fail "within: --frames 3 against a file of 4 pictures: exit code $rc: $(head -n 3 err.txt)"

echo "$checks runs, $failures failures"
[ "$failures" -eq 0 ]
