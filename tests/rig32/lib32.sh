# Shared by the 32-bit test scripts: sourced after `build`, `media`, `frame_match`, `root` and
# `work` are set. Images are matched against ffmpeg's decoding as in tests/checks/host_cycle.sh.
source "$root/tests/checks/lib.sh"
run32() { "$root/cmake/wine32-run.sh" "$build/native/wineprefix32" "$@" | tr -d '\r'; }

# plugin_dir SETTINGS...: a fresh folder with the 32-bit plug-in and a settings file holding the
# given lines; prints the folder.
plugin_count=0
plugin_dir() {
  local dir=$work/plugin$((plugin_count += 1))
  mkdir -p "$dir"
  cp "$build/win32/Stillreel.spi" "$dir/"
  { echo '[SystemSetting]'; printf '%s\n' "$@"; } | sed 's/$/\r/' >"$dir/Stillreel.ini"
  echo "$dir"
}

# ffmpeg's decoding of every frame of rich.mp4: top-down BGRA with the same matrix and range.
frames=$work/frames.bgra
ffmpeg -nostdin -hide_banner -loglevel error -i "$media/rich.mp4" \
  -vf "scale=in_color_matrix=bt601:in_range=tv:out_range=pc,format=bgra" -f rawvideo "$frames"

tolerance_max=5     # as measured for the 64-bit plug-in: at most 3
tolerance_mean=1.0  # about 0.6
# match_frame BMP EXPECTED_FRAME: the image is that frame of rich.mp4 (10 fps, +-1), upright.
match_frame() {
  local bmp=$1 expected=$2 frame max mean flipped_mean
  if [ ! -f "$bmp" ]; then
    echo "FAIL: no image $bmp"
    fail=1
    return
  fi
  read -r _ frame _ max _ mean < <("$frame_match" "$bmp" "$frames" 320 240 | head -n 1)
  read -r _ _ _ _ _ _ flipped_mean < <("$frame_match" "$bmp" "$frames" 320 240 | tail -n 1)
  echo "$(basename "$bmp"): frame $frame (expected $expected +-1), max $max, mean $mean; flipped: mean $flipped_mean"
  check "$(basename "$bmp") shows frame $expected" test $((frame - expected)) -ge -1 -a $((frame - expected)) -le 1
  check "$(basename "$bmp") agrees with ffmpeg within $tolerance_max" test "$max" -le $tolerance_max
  check "$(basename "$bmp") mean difference below $tolerance_mean" awk -v m="$mean" -v t=$tolerance_mean 'BEGIN {exit !(m < t)}'
  check "a flipped $(basename "$bmp") would not pass" awk -v m="$flipped_mean" -v t=$tolerance_mean 'BEGIN {exit !(m > 10 * t)}'
}
