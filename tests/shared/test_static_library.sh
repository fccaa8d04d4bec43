#!/usr/bin/env bash
# libtarnhevcenc.a links into an ordinary C program as the compiler builds it
# by default (a PIE on most distributions) and, for a compiler that does not,
# into an explicit PIE too; the program encodes through it alone.
# Usage: test_static_library.sh CC ARCHIVE INCLUDE_DIR CLIENT_SOURCE SCRATCH
set -euo pipefail
cc=$1 archive=$2 include=$3 client=$4 scratch=$5
. "$(dirname "$0")/client_lib.sh"
rm -rf "$scratch" && mkdir -p "$scratch"
"$cc" "$client" -I"$include" "$archive" -lstdc++ -lpthread -lm -o "$scratch/client"
"$cc" -fPIE -pie "$client" -I"$include" "$archive" -lstdc++ -lpthread -lm -o "$scratch/client_pie"
for program in "$scratch/client" "$scratch/client_pie"; do
  if readelf -d "$program" | grep -q 'NEEDED.*libtarnhevcenc'; then
    echo "$program needs the shared library; the archive should have been linked in"
    exit 1
  fi
  run_client "$program" "$program.hevc"
done
