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

shopt -s nullglob
frames=("$out"/*.bmp)
if [ ${#frames[@]} -gt 0 ]; then
  montage -label '%f' "${frames[@]}" -geometry 320x180+6+6 -tile 4x -background '#202020' \
    -fill white -pointsize 14 "$out/contact-sheet.png"
fi
echo
echo "demo: ${#frames[@]} frames in $out/ and the contact sheet $out/contact-sheet.png"
