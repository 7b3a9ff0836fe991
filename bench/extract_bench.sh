#!/usr/bin/env bash
# GetFileW per entry against the bare platform work (under Wine) and against ffmpeg fetching
# the same moments, on a two-minute 1920x1080 H.264 clip made once.
# Usage: extract_bench.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
root=$(realpath "$(dirname "$0")/..")
work=$build/native/bench
mkdir -p "$work/plugin"
clip=$work/clip1080.mp4
if [ ! -f "$clip" ]; then
  echo "bench: making a 2-minute 1080p H.264 clip (once)"
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=120 \
    -c:v libx264 -preset ultrafast -g 50 -pix_fmt yuv420p "$work/.clip.mp4"
  mv "$work/.clip.mp4" "$clip"
fi
cp "$build/win64/Stillreel.sph" "$work/plugin/"
printf '[SystemSetting]\r\ndiv=9\r\n' >"$work/plugin/Stillreel.ini"
winpath() { echo "Z:$1" | tr / '\\'; }
result=$("$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/extract_bench.exe" \
  "$(winpath "$work/plugin/Stillreel.sph")" "$(winpath "$clip")" 3 | tr -d '\r')
echo "$result" | grep -v '^seek'

# ffmpeg for the same moments, each a fresh process as each plug-in fetch is a fresh open.
times=()
for round in 1 2 3; do
  for t in $(echo "$result" | awk '/^seek/ {print $2}'); do
    start=$(date +%s%N)
    ffmpeg -nostdin -hide_banner -loglevel error -ss "$t" -i "$clip" -frames:v 1 -f null - || true
    times+=($((($(date +%s%N) - start) / 1000)))
  done
done
ffmpeg_ms=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.2f", a[int(NR/2)+1]/1000}')
ours_ms=$(echo "$result" | awk '/^ours_ms/ {print $2}')
echo "ffmpeg_ms $ffmpeg_ms"
awk -v o="$ours_ms" -v f="$ffmpeg_ms" 'BEGIN {printf "ours/ffmpeg %.3f\n", o / f}'
