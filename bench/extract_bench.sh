#!/usr/bin/env bash
# Under Wine: one cold GetFileW against the bare platform work; reader creation from our byte
# stream against the path as a URL; "browse all" (a listing and every
# entry in order) with the kept reader (keep=1), with it seeking for every entry, without it (a
# fresh reader per call, the default) and against ffmpeg extracting the same moments to BMP in
# one native process; and parallel
# fetches of different videos with source-reader creation serialised and not.
# Usage: [OLD_PLUGIN=earlier/Stillreel.sph] extract_bench.sh BUILD_DIR [ahead]
set -euo pipefail
build=$(realpath "$1")
root=$(realpath "$(dirname "$0")/..")
work=$build/native/bench
mkdir -p "$work/plugin" "$work/frames"
# make_clip NAME GOP SECONDS SIZE: a testsrc2 H.264 clip at 25 fps, key frames every GOP frames.
make_clip() {
  if [ ! -f "$work/$1" ]; then
    echo "bench: making $1 (once)"
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi \
      -i "testsrc2=size=$4:rate=25:duration=$3" -c:v libx264 -preset ultrafast -g "$2" \
      -pix_fmt yuv420p "$work/.clip.mp4"
    mv "$work/.clip.mp4" "$work/$1"
  fi
}
make_clip clip1080.mp4 50 120 1920x1080
make_clip clip1080k10.mp4 250 120 1920x1080
for i in 1 2 3 4; do make_clip "par$i.mp4" 25 $((16 + i)) 1280x720; done
cp "$build/win64/Stillreel.sph" "$work/plugin/"
ini=$work/plugin/Stillreel.ini
# settings DIV KEEP SERIALISE [IDLE_MS [READ_ON [READ_AHEAD]]]: the bench's settings file. A short
# idle time (300 ms by default) lets each browse round start from nothing without waiting; READ_ON
# 0 makes the kept reader seek for every entry. READ_AHEAD is 0 unless given: the sections before
# the read-ahead's own measure one call's work.
settings() {
  printf '[SystemSetting]\r\ndiv=%s\r\nreadahead=%s\r\n[Debug]\r\nkeep=%s\r\nserialise=%s\r\nidle=%s\r\nreadon=%s\r\n' \
    "$1" "${6:-0}" "$2" "$3" "${4:-300}" "${5:-1}" >"$ini"
}
winpath() { echo "Z:$1" | tr / '\\'; }
bench() {
  "$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/extract_bench.exe" "$@" |
    tr -d '\r'
}
plugin=$(winpath "$work/plugin/Stillreel.sph")
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"


# ffmpeg_browse CLIP DIV: milliseconds for ffmpeg to write the DIV entries' frames as BMPs, in one
# process: one input per moment, each sought exactly (-ss before -i decodes from the key frame).
ffmpeg_browse() {
  local clip=$1 div=$2 duration args=() k t start
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$clip")
  for ((k = 0; k < div; k++)); do
    # The last entry lies at the very end, where ffmpeg finds no frame: one frame earlier there.
    t=$(awk -v d="$duration" -v k="$k" -v n="$div" 'BEGIN {
      t = n > 1 ? d * k / (n - 1) : 0; if (t > d - 0.04) t = d - 0.04; printf "%.6f", t }')
    args+=(-ss "$t" -i "$clip")
  done
  local outputs=()
  for ((k = 0; k < div; k++)); do
    outputs+=(-map "$k:v" -frames:v 1 -pix_fmt bgra "$work/frames/f$k.bmp")
  done
  start=$(date +%s%N)
  ffmpeg -nostdin -hide_banner -loglevel error -y "${args[@]}" "${outputs[@]}"
  echo $((($(date +%s%N) - start) / 1000000))
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }

# "ahead" as the second argument: the read-ahead sections only.
if [ "${2:-}" != ahead ]; then
echo "== one fetch against the bare platform work, div=9: cold (no reader kept) and with the"
echo "   reader kept (entries 15 s apart: a seek each)"
settings 9 0 1
result=$(bench "$plugin" "$(winpath "$work/clip1080.mp4")" 3)
echo "$result" | grep -E '^(ours_ms|bare_ms|ours/bare)' | sed 's/^/cold /'
settings 9 1 1 3000
result=$(bench "$plugin" "$(winpath "$work/clip1080.mp4")" 3)
echo "$result" | grep -E '^(ours_ms|bare_ms|ours/bare)' | sed 's/^/kept /'

echo
echo "== reader creation: from our byte stream (the file opened by us, shared fully) against the"
echo "   path as a URL, alternating, median of 20 (ms)"
"$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/reader_bench.exe" 20 \
  "$(winpath "$work/clip1080.mp4")" "$(winpath "$work/par1.mp4")" | tr -d '\r'

echo
echo "== browse all: a listing and every entry in order (median of 3 rounds, ms); kept is the"
echo "   reader kept between calls (keep=1) reading on where that is faster, seeking is it seeking"
echo "   every time, default a fresh reader per call (keep=0, the default)"
printf '%-16s %4s %8s %8s %8s %8s %8s %12s %12s %11s\n' clip div kept listing seeking default \
  ffmpeg kept/seeking kept/default kept/ffmpeg
for clip in clip1080.mp4 clip1080k10.mp4; do
  for div in 9 60; do
    settings "$div" 1 1
    result=$(bench browse "$plugin" "$(winpath "$work/$clip")" 3)
    ours=$(echo "$result" | awk '/^browse_ms/ {print $2}')
    listing=$(echo "$result" | awk '/^listing_ms/ {print $2}')
    settings "$div" 1 1 300 0
    seeking=$(bench browse "$plugin" "$(winpath "$work/$clip")" 3 | awk '/^browse_ms/ {print $2}')
    settings "$div" 0 1
    today=$(bench browse "$plugin" "$(winpath "$work/$clip")" 3 | awk '/^browse_ms/ {print $2}')
    ff=$(ffmpeg_browse "$work/$clip" "$div")
    printf '%-16s %4s %8s %8s %8s %8s %8s %12s %12s %11s\n' "$clip" "$div" "$ours" "$listing" \
      "$seeking" "$today" "$ff" "$(ratio "$ours" "$seeking")" "$(ratio "$ours" "$today")" \
      "$(ratio "$ours" "$ff")"
  done
done

# Another build beside ours, each with its default settings (only div written):
# OLD_PLUGIN=path/to/Stillreel.sph (a build of an earlier commit), the builds alternating.
if [ -n "${OLD_PLUGIN:-}" ]; then
  mkdir -p "$work/old"
  cp "$OLD_PLUGIN" "$work/old/Stillreel.sph"
  old_plugin=$(winpath "$work/old/Stillreel.sph")
  echo
  echo "== browse all against $OLD_PLUGIN, each with its default settings (3 processes each,"
  echo "   alternating, median)"
  printf '%-16s %4s %8s %8s %9s\n' clip div ours old ours/old
  for clip in clip1080.mp4 clip1080k10.mp4; do
    ours_runs=() old_runs=()
    for run in 1 2 3; do
      printf '[SystemSetting]\r\ndiv=9\r\n' >"$ini"
      ours_runs+=("$(bench browse "$plugin" "$(winpath "$work/$clip")" 3 | awk '/^browse_ms/ {print $2}')")
      cp "$ini" "$work/old/Stillreel.ini"
      old_runs+=("$(bench browse "$old_plugin" "$(winpath "$work/$clip")" 3 | awk '/^browse_ms/ {print $2}')")
    done
    ours=$(printf '%s\n' "${ours_runs[@]}" | sort -n | sed -n 2p)
    old=$(printf '%s\n' "${old_runs[@]}" | sort -n | sed -n 2p)
    printf '%-16s %4s %8s %8s %9s\n' "$clip" 9 "$ours" "$old" "$(ratio "$ours" "$old")"
  done
fi

fi
echo
echo "== read ahead (readahead=1, the default) against none (readahead=0): browse all, a listing"
echo "   and every entry in order (median of 3 rounds, ms), and ffmpeg extracting the same moments"
printf '%-16s %4s %8s %8s %8s %9s %12s %10s\n' clip div ahead none ffmpeg ahead/none ahead/ffmpeg none/ffmpeg
for clip in clip1080.mp4 clip1080k10.mp4; do
  settings 9 0 1 300 1 1
  ahead=$(bench browse "$plugin" "$(winpath "$work/$clip")" 3 | awk '/^browse_ms/ {print $2}')
  settings 9 0 1 300 1 0
  none=$(bench browse "$plugin" "$(winpath "$work/$clip")" 3 | awk '/^browse_ms/ {print $2}')
  ff=$(ffmpeg_browse "$work/$clip" 9)
  printf '%-16s %4s %8s %8s %8s %9s %12s %10s\n' "$clip" 9 "$ahead" "$none" "$ff" \
    "$(ratio "$ahead" "$none")" "$(ratio "$ahead" "$ff")" "$(ratio "$none" "$ff")"
done

echo
echo "== the next entry after the host lingers 300 ms on the previous one: median fetch from the"
echo "   third entry on, div=9, 2 rounds (ms); none is a cold fetch"
printf '%-16s %8s %8s %11s\n' clip ahead none ahead/none
for clip in clip1080.mp4 clip1080k10.mp4; do
  settings 9 0 1 300 1 1
  ahead=$(bench linger "$plugin" "$(winpath "$work/$clip")" 2 300 | awk '/^next_ms/ {print $2}')
  settings 9 0 1 300 1 0
  none=$(bench linger "$plugin" "$(winpath "$work/$clip")" 2 300 | awk '/^next_ms/ {print $2}')
  printf '%-16s %8s %8s %11s\n' "$clip" "$ahead" "$none" "$(ratio "$ahead" "$none")"
done

echo
echo "== a host that jumps around: every entry of div=20 in a shuffled order (median of 3 rounds);"
echo "   CPU is the whole process's, read-ahead cancelled on the way included"
printf '%-16s %9s %8s %12s %11s %9s %10s\n' clip ahead_ms none_ms ahead_cpu_ms none_cpu_ms time_ratio cpu_ratio
for clip in clip1080.mp4; do
  settings 20 0 1 300 1 1
  read -r a_ms a_cpu < <(bench random "$plugin" "$(winpath "$work/$clip")" 3 | awk '/^random_ms/ {print $2, $4}')
  settings 20 0 1 300 1 0
  read -r n_ms n_cpu < <(bench random "$plugin" "$(winpath "$work/$clip")" 3 | awk '/^random_ms/ {print $2, $4}')
  printf '%-16s %9s %8s %12s %11s %9s %10s\n' "$clip" "$a_ms" "$n_ms" "$a_cpu" "$n_cpu" \
    "$(ratio "$a_ms" "$n_ms")" "$(ratio "$a_cpu" "$n_cpu")"
done

echo
echo "== how the gain grows with cores: browse all, div=9, the process on 1 core (taskset -c 0)"
echo "   against all $(nproc) (median of 3 rounds, ms)"
printf '%-16s %6s %8s %8s %11s\n' clip cores ahead none ahead/none
for clip in clip1080.mp4; do
  for cores in 1 "$(nproc)"; do
    pin=()
    [ "$cores" = 1 ] && pin=(taskset -c 0)
    settings 9 0 1 300 1 1
    ahead=$("${pin[@]}" "$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/extract_bench.exe" \
      browse "$plugin" "$(winpath "$work/$clip")" 3 | tr -d '\r' | awk '/^browse_ms/ {print $2}')
    settings 9 0 1 300 1 0
    none=$("${pin[@]}" "$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/extract_bench.exe" \
      browse "$plugin" "$(winpath "$work/$clip")" 3 | tr -d '\r' | awk '/^browse_ms/ {print $2}')
    printf '%-16s %6s %8s %8s %11s\n' "$clip" "$cores" "$ahead" "$none" "$(ratio "$ahead" "$none")"
  done
done

if [ "${2:-}" != ahead ]; then
echo
echo "== parallel: one thread per 720p video, a listing and 9 entries each, a fresh reader per"
echo "   call (median of 3 rounds, ms)"
printf '%-8s %12s %14s %7s\n' threads serialised "in parallel" ratio
for threads in 2 4; do
  videos=()
  for ((i = 1; i <= threads; i++)); do videos+=("$(winpath "$work/par$i.mp4")"); done
  # A run with a failed call (under Wine readers created at once can deadlock until the time
  # limit) shows as "failed".
  settings 9 0 1
  one=$(bench parallel "$plugin" 3 "${videos[@]}" | awk '/^parallel_ms/ {print $2}') || one=failed
  settings 9 0 0
  many=$(bench parallel "$plugin" 3 "${videos[@]}" | awk '/^parallel_ms/ {print $2}') || many=failed
  printf '%-8s %12s %14s %7s\n' "$threads" "$one" "$many" \
    "$(awk -v a="$one" -v b="$many" 'BEGIN {if (a + 0 > 0 && b + 0 > 0) printf "%.3f", a / b; else print "-"}')"
done
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
