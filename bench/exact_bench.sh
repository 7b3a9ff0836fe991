#!/usr/bin/env bash
# GetFileW per entry with exact=1 against exact=0 on a one-minute 1920x1080 H.264 clip with a key
# frame every 10 s (made once), under the Windows-behaviour reader and under Wine's; then "browse
# all" on a 20-s 640x360 clip with a key frame every 10 s, the kept reader reading on against it
# seeking every time and against a fresh reader per call, under both readers. With OLD_PLUGIN
# (an earlier build's Stillreel.sph), "browse all" on a 1-minute clip with a key frame every 40 s
# under the Windows-behaviour reader, per entry, this build against that one.
# Usage: [OLD_PLUGIN=path] exact_bench.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
root=$(realpath "$(dirname "$0")/..")
work=$build/native/bench
mkdir -p "$work/exact"
clip=$work/clip1080_gop10s.mp4
if [ ! -f "$clip" ]; then
  echo "bench: making a 1-minute 1080p H.264 clip, key frame every 10 s (once)"
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=60 -c:v libx264 -preset ultrafast \
    -g 250 -keyint_min 250 -sc_threshold 0 -bf 0 -pix_fmt yuv420p "$work/.clip_gop.mp4"
  mv "$work/.clip_gop.mp4" "$clip"
fi
small=$work/clip360_gop10s.mp4
if [ ! -f "$small" ]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i testsrc2=size=640x360:rate=25:duration=20 -c:v libx264 -preset ultrafast \
    -g 250 -keyint_min 250 -sc_threshold 0 -bf 0 -pix_fmt yuv420p "$work/.clip_small.mp4"
  mv "$work/.clip_small.mp4" "$small"
fi
cp "$build/win64/Stillreel.sph" "$work/exact/"
winpath() { echo "Z:$1" | tr / '\\'; }
"$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/exact_bench.exe" \
  "$(winpath "$work/exact/Stillreel.sph")" "$(winpath "$clip")" 10 3 | tr -d '\r'
echo
echo "== browse all (median of 3 rounds)"
for div in 5 20; do
  "$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/exact_bench.exe" browse \
    "$(winpath "$work/exact/Stillreel.sph")" "$(winpath "$small")" 10 "$div" 3 | tr -d '\r'
done

if [ -n "${OLD_PLUGIN:-}" ]; then
  sparse=$work/clip360_gop40s.mp4
  if [ ! -f "$sparse" ]; then
    ffmpeg -nostdin -hide_banner -loglevel error -y \
      -f lavfi -i testsrc2=size=640x360:rate=25:duration=60 -c:v libx264 -preset ultrafast \
      -g 1000 -keyint_min 1000 -sc_threshold 0 -bf 0 -pix_fmt yuv420p "$work/.clip_sparse.mp4"
    mv "$work/.clip_sparse.mp4" "$sparse"
  fi
  mkdir -p "$work/exact_old"
  cp "$OLD_PLUGIN" "$work/exact_old/Stillreel.sph"
  echo
  echo "== key frames 40 s apart: this build against $OLD_PLUGIN"
  "$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/exact_bench.exe" keyframes \
    "$(winpath "$work/exact/Stillreel.sph")" "$(winpath "$work/exact_old/Stillreel.sph")" \
    "$(winpath "$sparse")" 40 12 3 | tr -d '\r'
fi
