#!/usr/bin/env bash
# Streams of the real clips (all IDR with --keyint 1; an IDR, then P pictures
# by default) at the QP extremes and in between: ffmpeg and libde265 must both
# decode exactly the reconstruction ziravov wrote.
# The stream must not depend on the CPU features used or on the thread count.
set -u
. "${SCRIPTS:-$(dirname "$0")}/conformance_lib.sh"

conf_need_clips carphone_qcif.y4m bus_cif_17f.y4m foreman_cif_60f.y4m
conf_init

cases=$SCRATCH/cases.txt
: >"$cases"
for clip in carphone_qcif bus_cif_17f foreman_cif_60f; do
  read -r w h <<<"$(conf_size_of_y4m "$CLIPS/$clip.y4m")"
  for qp in 0 22 37 51; do
    # keyint 1: every picture an IDR; default keyint: one IDR, then I pictures.
    echo "$clip-qp$qp-k1|$CLIPS/$clip.y4m|$w|$h|3|--frames 3 --keyint 1 --qp $qp" >>"$cases"
    echo "$clip-qp$qp-kdef|$CLIPS/$clip.y4m|$w|$h|4|--frames 4 --qp $qp" >>"$cases"
  done
done
# The same stream whatever SIMD tier or thread count did the work.
for flags in 0 1 2 4 6; do
  echo "foreman-cpu$flags|$CLIPS/foreman_cif_60f.y4m|352|288|3|--frames 3 --qp 27 --cpu-flags $flags" >>"$cases"
done
echo "foreman-cpudefault|$CLIPS/foreman_cif_60f.y4m|352|288|3|--frames 3 --qp 27" >>"$cases"
# The fastest and the most thorough levels read other cost slots and gradients.
for c in 0 7; do
  for flags in 0 2 6 default; do
    opt="--cpu-flags $flags"
    [ "$flags" = default ] && opt=""
    echo "foreman-c$c-cpu$flags|$CLIPS/foreman_cif_60f.y4m|352|288|2|--frames 2 --qp 32 --complexity $c $opt" >>"$cases"
  done
done
for qp in 0 37; do
  echo "bus-qp$qp-cpu0|$CLIPS/bus_cif_17f.y4m|352|288|2|--frames 2 --qp $qp --cpu-flags 0" >>"$cases"
  echo "bus-qp$qp-cpudefault|$CLIPS/bus_cif_17f.y4m|352|288|2|--frames 2 --qp $qp" >>"$cases"
done
# SAO on a picture that is no multiple of 64 (partial CTUs at the right and
# bottom edges), at the fastest, default and best complexity.
for cx in 0 4 7; do
  for flags in 0 2 6; do
    echo "carphone-sao-c$cx-cpu$flags|$CLIPS/carphone_qcif.y4m|176|144|2|--frames 2 --sao --complexity $cx --cpu-flags $flags" >>"$cases"
  done
done
for wpp in wpp no-wpp; do
  for t in 1 4; do
    echo "bus-$wpp-t$t|$CLIPS/bus_cif_17f.y4m|352|288|3|--frames 3 --qp 30 --$wpp --threads $t" >>"$cases"
  done
done
conf_run_cases <"$cases"

# The picture structure asked for: --keyint 1 makes every picture an IDR
# (types 19, 20); the default interval one IDR followed by non-IRAP (P)
# pictures.
for clip in carphone_qcif bus_cif_17f foreman_cif_60f; do
  for qp in 0 22 37 51; do
    [ -f "$clip-qp$qp-k1.hevc" ] && { types=$(conf_picture_types "$clip-qp$qp-k1")
      [[ $types =~ ^((19|20)\ ){3}$ ]] || conf_fail "$clip-qp$qp-k1" "picture types '$types', expected 3 IDR"; }
    [ -f "$clip-qp$qp-kdef.hevc" ] && { types=$(conf_picture_types "$clip-qp$qp-kdef")
      [[ $types =~ ^(19|20)\ ([0-9]\ ){3}$ ]] || conf_fail "$clip-qp$qp-kdef" "picture types '$types', expected IDR then 3 non-IRAP"; }
  done
done

same_stream() {
  local a=$1 b=$2
  [ -f "$a.hevc" ] && [ -f "$b.hevc" ] || return 0  # already reported
  cmp -s "$a.hevc" "$b.hevc" ||
    conf_fail "$b" "stream differs from $a ($(cmp "$a.hevc" "$b.hevc" 2>&1 | head -n 1)); replay: $(cat "$a.cmd") vs $(cat "$b.cmd")"
}
for flags in 0 1 2 4 6; do same_stream foreman-cpudefault foreman-cpu$flags; done
for c in 0 7; do
  for flags in 0 2 6; do same_stream foreman-c$c-cpudefault foreman-c$c-cpu$flags; done
done
for qp in 0 37; do same_stream bus-qp$qp-cpudefault bus-qp$qp-cpu0; done
for cx in 0 4 7; do
  for flags in 2 6; do same_stream carphone-sao-c$cx-cpu0 carphone-sao-c$cx-cpu$flags; done
done
same_stream bus-wpp-t1 bus-wpp-t4
same_stream bus-no-wpp-t1 bus-no-wpp-t4

conf_finish
