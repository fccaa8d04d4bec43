#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (no-op when
# they are all present).  Run as root, or with sudo available.  Besides the
# compilers and libraries: the two decoders the streams are judged by
# (ffmpeg, libde265's dec265), qemu for the kernels on older processors,
# python3 (test summaries, BD-rate), /usr/bin/time (peak memory of the
# scene-cut test) and pkg-config (the installed library's test).
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev ffmpeg libde265-examples qemu-user python3 time
  pkg-config)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
