#!/usr/bin/env bash
# The 32-bit plug-in through the 32-bit console host under the 32-bit Wine (scripts/rig32.sh):
# information texts, then every entry fetched in memory and as files through the wide and the
# ANSI functions (all four must give the same images, each ffmpeg's frame for its moment), the
# same with reading ahead, then the keys this build reads: "div", and "sec" as the interval; "divsec" is not read.
# Usage: host_cycle32.sh BUILD_DIR MEDIA_DIR FRAME_MATCH
set -euo pipefail
build=$(realpath "$1")
media=$(realpath "$2")
frame_match=$(realpath "$3")
root=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d "$build/native/host-cycle32.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$root/tests/rig32/lib32.sh"
sphost() { run32 "$build/win32/sphost.exe" "$@"; }
video=$(winpath "$media/rich.mp4")

dir=$(plugin_dir div=4)
plugin=$(winpath "$dir/Stillreel.spi")
info=$(sphost info "$plugin") || { echo "$info"; echo "FAIL: sphost info"; fail=1; }
echo "$info"
check "information text 0 is 00AM" grep -qx '0: 00AM (length 4)' <<<"$info"

# div = 4 on 10 s: entries at 0, 10/3, 20/3 and 10 s (the end: the last frame).
for mode in memory file; do
  for api in wide ansi; do
    out=$work/$mode-$api
    flags=(--"$mode")
    [ "$api" = ansi ] && flags+=(--ansi)
    log=$(sphost extract "$plugin" "$video" "$(winpath "$out")" "${flags[@]}" 2>&1) ||
      { echo "$log"; echo "FAIL: sphost extract --$mode ($api)"; fail=1; continue; }
    check "--$mode ($api) fetched 4 entries" grep -q '^4 entries, 0 failed' <<<"$log"
  done
done
for other in file-wide memory-ansi file-ansi; do
  check "$other gives the same images as memory-wide" diff -r "$work/memory-wide" "$work/$other"
done
expected=(0 33 66 99)
for i in 0 1 2 3; do match_frame "$work/memory-wide/rich00$i.bmp" "${expected[$i]}"; done

# Reading ahead (Windows' default, off by default under Wine): entries 2 and 3 come from the
# read-ahead, byte for byte the same, and the host ends cleanly right after the last one.
dir=$(plugin_dir div=4 readahead=1)
log=$(sphost extract "$(winpath "$dir/Stillreel.spi")" "$video" "$(winpath "$work/ahead")" --memory 2>&1) ||
  { echo "$log"; echo "FAIL: sphost extract with readahead=1"; fail=1; }
check "readahead=1 fetched 4 entries" grep -q '^4 entries, 0 failed' <<<"$log"
check "readahead=1 gives the same images" diff -r "$work/memory-wide" "$work/ahead"

# count_entries SETTINGS...: the number of entries rich.mp4 (10 s) lists with those settings.
count_entries() {
  local dir log
  dir=$(plugin_dir "$@")
  log=$(sphost list "$(winpath "$dir/Stillreel.spi")" "$video") || { echo "$log" >&2; echo -1; return; }
  sed -n 's/^\([0-9]*\) entries$/\1/p' <<<"$log"
}
# What the 64-bit plug-in would list is in brackets: each case tells the two readings apart.
check "divsec alone is not read: 1 entry [64-bit: 3]" test "$(count_entries divsec=5)" = 1
check "sec=5 with divsec=2 is the interval: 0, 5, 10 s [64-bit: 1]" \
  test "$(count_entries div=0 divsec=2 sec=5)" = 3
check "div=5 wins over sec=4 and divsec=2: 5 entries [64-bit: 1]" \
  test "$(count_entries div=5 sec=4 divsec=2)" = 5

# sec=3 alone: a frame every 3 s, at 0, 3, 6 and 9 s [64-bit: one, at 3 s].
dir=$(plugin_dir sec=3)
log=$(sphost extract "$(winpath "$dir/Stillreel.spi")" "$video" "$(winpath "$work/sec3")" --memory 2>&1) ||
  { echo "$log"; echo "FAIL: sphost extract with sec=3"; fail=1; }
check "sec=3 lists 4 entries" grep -q '^4 entries, 0 failed' <<<"$log"
expected=(0 30 60 90)
for i in 0 1 2 3; do match_frame "$work/sec3/rich00$i.bmp" "${expected[$i]}"; done

[ $fail -eq 0 ] && echo "host cycle 32: 4 modes agree, every entry is ffmpeg's frame, the 32-bit keys hold"
exit $fail
