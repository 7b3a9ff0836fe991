#!/usr/bin/env bash
# The whole cycle as a viewer drives it: sphost lists a video and fetches every entry in memory
# and as files, through the wide and the ANSI functions; all four must give the same images.
# Each image is then matched against ffmpeg's own decoding of the video (BT.601 studio range to
# BGRA): it must be the frame due at the entry's moment, agree closely, and be upright.
# Usage: host_cycle.sh BUILD_DIR MEDIA_DIR FRAME_MATCH
set -euo pipefail
build=$(realpath "$1")
media=$(realpath "$2")
frame_match=$(realpath "$3")
root=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d "$build/native/host-cycle.XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$root/tests/checks/lib.sh"
sphost() { "$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/sphost.exe" "$@" | tr -d '\r'; }

# div = 4 on 10 s: entries at 0, 10/3, 20/3 and 10 s (the end: the last frame).
mkdir -p "$work/plugin"
cp "$build/win64/Stillreel.sph" "$work/plugin/"
printf '[SystemSetting]\r\ndiv=4\r\n' >"$work/plugin/Stillreel.ini"
plugin=$(winpath "$work/plugin/Stillreel.sph")
video=$media/rich.mp4

for mode in memory file; do
  for api in wide ansi; do
    out=$work/$mode-$api
    flags=(--"$mode")
    [ "$api" = ansi ] && flags+=(--ansi)
    log=$(sphost extract "$plugin" "$(winpath "$video")" "$(winpath "$out")" "${flags[@]}" 2>&1) ||
      { echo "$log"; echo "FAIL: sphost extract --$mode ($api)"; fail=1; continue; }
    check "--$mode ($api) fetched 4 entries" grep -q '^4 entries, 0 failed' <<<"$log"
  done
done
for other in file-wide memory-ansi file-ansi; do
  check "$other gives the same images as memory-wide" diff -r "$work/memory-wide" "$work/$other"
done

# ffmpeg's decoding of every frame: top-down BGRA with the same matrix and range.
ffmpeg -nostdin -hide_banner -loglevel error -i "$video" \
  -vf "scale=in_color_matrix=bt601:in_range=tv:out_range=pc,format=bgra" -f rawvideo \
  "$work/frames.bgra"

expected=(0 33 66 99)  # the frame showing at each moment (10 fps); the last one at the end
tolerance_max=5        # measured: at most 3 (rounding and chroma upsampling differ)
tolerance_mean=1.0     # measured: about 0.6
for i in 0 1 2 3; do
  bmp=$work/memory-wide/rich00$i.bmp
  read -r _ frame _ max _ mean < <("$frame_match" "$bmp" "$work/frames.bgra" 320 240 | head -n 1)
  read -r _ _ _ _ flipped_max _ flipped_mean < <("$frame_match" "$bmp" "$work/frames.bgra" 320 240 | tail -n 1)
  echo "entry $i: frame $frame (expected ${expected[$i]} +-1), max $max, mean $mean; flipped: mean $flipped_mean"
  check "entry $i shows frame ${expected[$i]}" test $((frame - expected[i])) -ge -1 -a $((frame - expected[i])) -le 1
  check "entry $i agrees with ffmpeg within $tolerance_max" test "$max" -le $tolerance_max
  check "entry $i mean difference below $tolerance_mean" awk -v m="$mean" -v t=$tolerance_mean 'BEGIN {exit !(m < t)}'
  check "a flipped entry $i would not pass" awk -v m="$flipped_mean" -v t=$tolerance_mean 'BEGIN {exit !(m > 10 * t)}'
done
[ $fail -eq 0 ] && echo "host cycle: 4 modes agree, every entry matches ffmpeg's frame"
exit $fail
