#!/usr/bin/env bash
# The shared library exports exactly the API functions of the public header
# (everything else is hidden), and a C program linked against it encodes.
# Usage: test_shared_library.sh LIBRARY HEADER CLIENT
set -euo pipefail
lib=$1 header=$2 client=$3
want=$(grep -o 'TARNHEVCENC_API [^(]*(' "$header" | grep -o 'tarnhevcenc_[a-z_]*($' | tr -d '(' | sort)
have=$(nm -D --defined-only "$lib" | awk '$2 == "T" { print $3 }' | sort)
if [ "$want" != "$have" ]; then
  echo "exported functions differ from the header's API:"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
[ "$(echo "$want" | wc -l)" -eq 8 ] || { echo "expected eight API functions, found: $want"; exit 1; }
# Any other defined dynamic symbol (data, weak template code) is a leak too.
others=$(nm -D --defined-only "$lib" | awk '$2 != "T"' | grep -v ' _init$\| _fini$' || true)
[ -z "$others" ] || { echo "other symbols leave the library:"; echo "$others"; exit 1; }
"$client"
