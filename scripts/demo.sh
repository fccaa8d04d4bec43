#!/usr/bin/env bash
# Builds ziravov, makes a sample clip, encodes it and checks that ffmpeg
# decodes the stream to exactly our reconstruction.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install_packages.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$root/build" ziravov
out="$root/out"
mkdir -p "$out"
ffmpeg -v error -y -f lavfi -i testsrc2=size=352x288:rate=30 -frames:v 30 -pix_fmt yuv420p "$out/sample.y4m"
"$root/build/ziravov" --qp 27 --recon "$out/sample_recon.yuv" "$out/sample.y4m" "$out/sample.hevc"
ffmpeg -v error -y -i "$out/sample.hevc" -f rawvideo -pix_fmt yuv420p "$out/sample_decoded.yuv"
if cmp -s "$out/sample_decoded.yuv" "$out/sample_recon.yuv"; then
  echo "ffmpeg decodes $out/sample.hevc to exactly the encoder's reconstruction"
else
  echo "MISMATCH between ffmpeg's decode and the reconstruction" >&2
  exit 1
fi
