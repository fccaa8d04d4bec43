#!/usr/bin/env bash
# libtarnhevcenc.a links into an ordinary C program as the compiler builds it
# by default (a PIE on most distributions) and, for a compiler that does not,
# into an explicit PIE too; the program encodes through it alone.  Its only
# global names are the API functions, so a program whose own globals are
# named as the library's internal ones links and encodes the same stream.
# Usage: test_static_library.sh CC ARCHIVE INTERNAL_ARCHIVE INCLUDE_DIR CLIENT_SOURCE SCRATCH
set -euo pipefail
cc=$1 archive=$2 internal=$3 include=$4 client=$5 scratch=$6
. "$(dirname "$0")/client_lib.sh"
rm -rf "$scratch" && mkdir -p "$scratch"

want=$(grep -o 'TARNHEVCENC_API [^(]*(' "$include/tarnhevcenc.h" | grep -o 'tarnhevcenc_[a-z_]*($' | tr -d '(' | sort)
have=$(nm -g --defined-only "$archive" | awk 'NF == 3 { print $3 }' | sort)
if [ "$want" != "$have" ]; then
  echo "the archive's global names differ from the header's API:"
  diff <(echo "$want") <(echo "$have") | head -20 || true
  exit 1
fi
if readelf -gW "$archive" | grep -q COMDAT; then
  echo "the archive keeps groups a program's own inline functions could replace"
  exit 1
fi

"$cc" "$client" -I"$include" "$archive" -lstdc++ -lpthread -lm -o "$scratch/client"
"$cc" -fPIE -pie "$client" -I"$include" "$archive" -lstdc++ -lpthread -lm -o "$scratch/client_pie"
for program in "$scratch/client" "$scratch/client_pie"; do
  if readelf -d "$program" | grep -q 'NEEDED.*libtarnhevcenc'; then
    echo "$program needs the shared library; the archive should have been linked in"
    exit 1
  fi
  run_client "$program" "$program.hevc"
done

# The internal archive's own global data and C names, defined once more by
# the program.
nm -g --defined-only "$internal" | awk 'NF == 3 && $2 ~ /^[BDRuV]$/ && $3 ~ /^[A-Za-z][A-Za-z0-9_]*$/ { print $3 }' |
  sort -u | grep -v '^tarnhevcenc_' | sed 's/.*/char &[1] = {1};/' >"$scratch/same_names.c"
[ -s "$scratch/same_names.c" ] || { echo "no internal names found in $internal"; exit 1; }
"$cc" "$client" "$scratch/same_names.c" -I"$include" "$archive" -lstdc++ -lpthread -lm -o "$scratch/client_names"
run_client "$scratch/client_names" "$scratch/client_names.hevc"
cmp -s "$scratch/client.hevc" "$scratch/client_names.hevc" ||
  { echo "a program with globals named as the library's internals gets another stream"; exit 1; }
