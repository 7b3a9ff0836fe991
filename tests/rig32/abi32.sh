#!/usr/bin/env bash
# The 32-bit plug-in called as an older 32-bit host calls it (tests/rig32/abi32.cpp: the host's
# record layout, both export names, a stack aligned to 4 bytes only), once with the processor
# qemu offers (AVX2) and once without AVX2, so that each conversion loop fills the memory
# images, which must be ffmpeg's frames; and a tone-mapped frame converted in bands on threads
# of their own (tests/rig32/bands32.cpp) with each.
# Usage: abi32.sh BUILD_DIR MEDIA_DIR FRAME_MATCH
set -euo pipefail
build=$(realpath "$1")
media=$(realpath "$2")
frame_match=$(realpath "$3")
root=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d "$build/native/abi32.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$root/tests/rig32/lib32.sh"

dir=$(plugin_dir div=4)
for cpu in max max,-avx2; do
  out=$work/out-${cpu//[,-]/_}
  echo "--- processor: $cpu"
  STILLREEL_QEMU_CPU=$cpu run32 "$build/win32/abi32.exe" "$(winpath "$dir/Stillreel.spi")" \
    "$(winpath "$media/rich.mp4")" "$(winpath "$out")" || { echo "FAIL: abi32.exe with $cpu"; fail=1; }
  expected=(0 33 66 99)
  for i in 0 1 2 3; do match_frame "$out/memory$i.bmp" "${expected[$i]}"; done
  # A tone-mapped frame's bands of rows on threads of their own: the bytes of one pass.
  STILLREEL_QEMU_CPU=$cpu run32 "$build/win32/bands32.exe" || { echo "FAIL: bands32.exe with $cpu"; fail=1; }
done
[ $fail -eq 0 ] && echo "abi32: host layout, export names and a 4-byte aligned stack hold"
exit $fail
