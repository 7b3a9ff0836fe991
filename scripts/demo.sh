#!/usr/bin/env bash
# The plug-in's whole job, as a viewer would drive it: list a video and fetch every entry as a
# BMP, then lay the frames out on one contact sheet.
# Usage: demo.sh BUILD_DIR [VIDEO]
set -euo pipefail
build=$(realpath "$1")
video=${2:-}
root=$(realpath "$(dirname "$0")/..")
out=$root/out
scratch=$out/.plugin
mkdir -p "$out" "$scratch"
rm -f "$out"/*.bmp "$out/contact-sheet.png"

if [ -z "$video" ]; then
  video=$out/sample.mp4
  if [ ! -f "$video" ]; then
    echo "demo: generating a 40-second sample video ($video)"
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=640x360:rate=25:duration=40 \
      -c:v libx264 -preset veryfast -pix_fmt yuv420p "$video"
  fi
fi
video=$(realpath "$video")

# The plug-in reads its settings from the file beside it: eight frames spread over the video.
cp "$build/win64/Stillreel.sph" "$scratch/"
printf '[SystemSetting]\r\ndiv=%s\r\ndivsec=0\r\nsec=0\r\n' "${DIV:-8}" >"$scratch/Stillreel.ini"

winpath() { echo "Z:$1" | tr / '\\'; }
run() { "$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/sphost.exe" "$@"; }

run info "$(winpath "$scratch/Stillreel.sph")"
run extract "$(winpath "$scratch/Stillreel.sph")" "$(winpath "$video")" "$(winpath "$out")" --memory

# One HDR frame as hdr=0 shows it (the stored PQ signal, washed out) and as hdr=1 does
# (tone-mapped): a testsrc2 picture with its whites at 400 nits, made by ffmpeg as a 10-bit
# decoder would deliver it and converted natively by the plug-in's picture library (Wine decodes
# no 10-bit video).
rm -f "$out/hdr-before-after.png"
if [ -x "$build/native/hdr_pair" ]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=640x360:rate=1 \
    -frames:v 1 -vf "format=gbrpf32le,zscale=tin=iec61966-2-1:pin=bt709:npl=400:t=smpte2084:\
p=bt2020:m=bt2020nc:r=tv,format=yuv420p10le" -pix_fmt p010le -f rawvideo "$scratch/hdr.p010"
  "$build/native/hdr_pair" "$scratch/hdr.p010" 640 360 pq "$scratch/before.bgra" \
    "$scratch/after.bgra"
  for side in before after; do
    ffmpeg -nostdin -hide_banner -loglevel error -y -f rawvideo -pix_fmt bgra -s 640x360 \
      -i "$scratch/$side.bgra" "$scratch/$side.png"
  done
  montage -label 'hdr=0 (stored signal)' "$scratch/before.png" -label 'hdr=1 (tone-mapped)' \
    "$scratch/after.png" -geometry 480x270+6+6 -tile 2x -background '#202020' -fill white \
    -pointsize 14 "$out/hdr-before-after.png"
  echo "demo: one HDR frame, hdr=0 beside hdr=1: $out/hdr-before-after.png"
fi

shopt -s nullglob
frames=("$out"/*.bmp)
if [ ${#frames[@]} -gt 0 ]; then
  montage -label '%f' "${frames[@]}" -geometry 320x180+6+6 -tile 4x -background '#202020' \
    -fill white -pointsize 14 "$out/contact-sheet.png"
fi
echo
echo "demo: ${#frames[@]} frames in $out/ and the contact sheet $out/contact-sheet.png"
