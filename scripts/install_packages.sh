#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (no-op when
# they are all present).  Run as root, or with sudo available.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev ffmpeg libde265-examples qemu-user pkg-config)
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
