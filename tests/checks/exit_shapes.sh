#!/usr/bin/env bash
# Hosts that end their process right after their last call (/work/shared/hosts.md: "The process
# exits right after its last call": every console tool; viewers on close): exit_host.exe lists a
# 10-s clip and/or fetches an entry, with and without FreeLibrary, from the main thread and from
# a single-threaded apartment, walks the entries in order (to the last, or two of them), and
# returns from main. Each shape runs RUNS times (20) as its own
# process under Wine with the default settings; the Unix exit status must be 0 every time (Wine
# reports 0 to a Windows parent even when the process dies by a signal on its way out).
# Usage: exit_shapes.sh BUILD_DIR MEDIA_DIR [RUNS]
#   EXIT_SETTINGS: lines added to the settings file, EXIT_PLUGIN: another build's Stillreel.sph,
#   for measuring by hand.
set -uo pipefail
build=$(realpath "$1")
media=$(realpath "$2")
runs=${3:-20}
root=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d "$build/native/exit-shapes.XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$root/tests/checks/lib.sh"
cp "${EXIT_PLUGIN:-$build/win64/Stillreel.sph}" "$work/Stillreel.sph"
printf '[SystemSetting]\r\ndiv=4\r\n%b' "${EXIT_SETTINGS:-}" >"$work/Stillreel.ini"
plugin=$(winpath "$work/Stillreel.sph")
video=$(winpath "$media/len10s.mp4")

# run_shape SHAPE [MS]: runs the shape RUNS times; sets crashes and failures.
run_shape() {
  crashes=0
  failures=0
  local statuses="" status run
  for ((run = 1; run <= runs; run++)); do
    "$root/cmake/wine-run.sh" "$build/native/wineprefix" "$build/win64/exit_host.exe" \
      "$1" "$plugin" "$video" ${2:+"$2"} >/dev/null 2>"$work/stderr"
    status=$?
    if [ "$status" -ge 128 ]; then
      crashes=$((crashes + 1))
      statuses="$statuses $status"
    elif [ "$status" -ne 0 ]; then
      failures=$((failures + 1))
      statuses="$statuses $status"
    fi
  done
  echo "$1${2:+ then ${2} ms}: $runs runs, $crashes died by a signal, $failures failed a call${statuses:+ (statuses:$statuses)}"
}

crashes_total=0
shapes=0
for shape in ${EXIT_SHAPES:-list fetch list-fetch-free sta-list-free walk walk-part}; do
  run_shape "$shape"
  check "$shape ends cleanly every time" test "$crashes" -eq 0
  check "$shape's calls succeed every time" test "$failures" -eq 0
  crashes_total=$((crashes_total + crashes))
  shapes=$((shapes + 1))
done
echo "exit shapes: $crashes_total of $((shapes * runs)) processes died by a signal"

# With read-ahead asked for (its default on Windows, not under Wine): a walk to the last entry
# leaves nothing being read and must end cleanly; a host that ends while an entry is being read
# ahead meets Wine's fault at exit with a pipeline alive, measured here, not held against it.
if [ -z "${EXIT_SHAPES:-}" ]; then
  printf '[SystemSetting]\r\ndiv=4\r\nreadahead=1\r\n%b' "${EXIT_SETTINGS:-}" >"$work/Stillreel.ini"
  run_shape walk
  check "walk with readahead=1 ends cleanly every time" test "$crashes" -eq 0
  check "walk with readahead=1 succeeds every time" test "$failures" -eq 0
  for ms in 30; do
    run_shape walk-part "$ms"
    echo "  (readahead=1 under Wine, not checked: $crashes of $runs ended by a signal)"
  done
fi
exit $fail
