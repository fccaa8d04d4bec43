#!/usr/bin/env bash
# cmake --install into a fresh prefix installs exactly the header, both
# libraries (the shared one under its versioned name with its links), the
# pkg-config file and the program; a C program built with pkg-config's flags
# alone runs against the shared library and, linked statically with
# `pkg-config --static`, against the archive.
# Usage: test_install.sh CMAKE BUILD_DIR CC CLIENT_SOURCE SCRATCH
set -euo pipefail
cmake=$1 build=$2 cc=$3 client=$4 scratch=$5
. "$(dirname "$0")/client_lib.sh"
rm -rf "$scratch" && mkdir -p "$scratch"
prefix=$scratch/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log"

pc=$(cd "$prefix" && find . -name tarnhevcenc.pc)
[ -n "$pc" ] || { echo "no tarnhevcenc.pc installed"; find "$prefix"; exit 1; }
libdir=$(dirname "$(dirname "$pc")")
libdir=${libdir#./}
so=$(cd "$prefix/$libdir" && ls libtarnhevcenc.so.*.*.* 2>/dev/null) ||
  { echo "no shared library under a versioned name (libtarnhevcenc.so.X.Y.Z) installed"; exit 1; }
major=${so#libtarnhevcenc.so.}
major=${major%%.*}
want=$(printf '%s\n' bin/ziravov include/tarnhevcenc.h "$libdir/libtarnhevcenc.a" "$libdir/libtarnhevcenc.so" \
  "$libdir/libtarnhevcenc.so.$major" "$libdir/$so" "$libdir/pkgconfig/tarnhevcenc.pc" | sort)
have=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)
if [ "$want" != "$have" ]; then
  echo "installed files differ from the expected set:"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
[ "$(readlink "$prefix/$libdir/libtarnhevcenc.so")" = "libtarnhevcenc.so.$major" ] ||
  { echo "libtarnhevcenc.so does not link to libtarnhevcenc.so.$major"; exit 1; }
[ "$(readlink "$prefix/$libdir/libtarnhevcenc.so.$major")" = "$so" ] ||
  { echo "libtarnhevcenc.so.$major does not link to $so"; exit 1; }
readelf -d "$prefix/$libdir/$so" | grep -q "SONAME.*\[libtarnhevcenc.so.$major\]" ||
  { echo "$so does not carry the soname libtarnhevcenc.so.$major"; exit 1; }

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
version=$("$prefix/bin/ziravov" --version | sed -n 's/^ziravov, tarnhevcenc //p')
[ "$(pkg-config --modversion tarnhevcenc)" = "$version" ] ||
  { echo "pkg-config gives version $(pkg-config --modversion tarnhevcenc), the library $version"; exit 1; }
# shellcheck disable=SC2046  # pkg-config's output is a list of words
"$cc" "$client" $(pkg-config --cflags --libs tarnhevcenc) -o "$scratch/client"
readelf -d "$scratch/client" | grep -q "NEEDED.*\[libtarnhevcenc.so.$major\]" ||
  { echo "the client does not need libtarnhevcenc.so.$major"; exit 1; }
run_client "$scratch/client" "$scratch/client.hevc" LD_LIBRARY_PATH="$prefix/$libdir"

# A fully static program needs the C library's archive too; where it is
# missing, that part is left out.
if echo 'int main(void) { return 0; }' | "$cc" -static -x c - -o "$scratch/probe" 2>/dev/null; then
  # shellcheck disable=SC2046
  "$cc" -static "$client" $(pkg-config --static --cflags --libs tarnhevcenc) -o "$scratch/client_static"
  run_client "$scratch/client_static" "$scratch/client_static.hevc"
else
  echo "no static C library: the fully static link is not tried"
fi
