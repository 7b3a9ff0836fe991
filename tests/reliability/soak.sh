#!/usr/bin/env bash
# The long reliability run, by hand or through `ctest -L soak` with STILLREEL_SOAK=1: the large
# broken-media corpus, many runs of 2, 4 and 8 host threads at once, and a long leak session.
# Hangs and crashes inside the platform are counted and shown with their stacks; they fail the
# run only when the stack puts the plug-in's own code at fault.
#
# Usage: soak.sh WIN64_DIR MEDIA_DIR WORK_DIR WINEPREFIX
# Environment: SOAK_THREAD_RUNS (runs per thread count, default 6), SOAK_ROUNDS (rounds per
# thread and run, default 16), SOAK_CYCLES (leak cycles, default 500), STILLREEL_SOAK (from
# ctest: without it the run is skipped).
set -euo pipefail

if [ "${CTEST_SOAK_GUARD:-}" = 1 ] && [ "${STILLREEL_SOAK:-}" != 1 ]; then
  echo "soak: skipped (set STILLREEL_SOAK=1, or run make soak)"
  exit 77
fi
if [ $# -ne 4 ]; then
  echo "usage: $0 WIN64_DIR MEDIA_DIR WORK_DIR WINEPREFIX" >&2
  exit 2
fi
win64=$(realpath "$1")
media=$(realpath "$2")
work=$(realpath -m "$3")
prefix=$(realpath -m "$4")
here=$(realpath "$(dirname "$0")")
root=$(realpath "$here/../..")
runs=${SOAK_THREAD_RUNS:-6}
rounds=${SOAK_ROUNDS:-16}
cycles=${SOAK_CYCLES:-500}
mkdir -p "$work"
log=$work/soak.log
: >"$log"
# ctest keeps a passing test's output only until its next run: the summary stays here too.
exec > >(tee "$work/soak-summary.txt") 2>&1
failed=0
started=$(date +%s)

export STILLREEL_MEDIA
STILLREEL_MEDIA=$(printf 'Z:%s' "$media" | tr / '\\')
# torture LIMIT_SECONDS ARGS...: the driver under Wine, its output with plain line ends.
torture() {
  local limit=$1
  shift
  timeout -k 10 "$limit" "$root/cmake/wine-run.sh" "$prefix" "$win64/torture.exe" "$@" \
    2>>"$log.stderr" | tr -d '\r'
}

echo "== soak: broken media"
if ! "$here/corpus.sh" --soak "$win64" "$media" "$work" "$prefix"; then failed=1; fi

echo
echo "== soak: host threads ($runs runs each, $rounds rounds a thread, 2 clearer threads)"
printf '%-8s %5s %5s %9s %15s %11s %6s\n' threads runs sound "wrong" "platform hang" "ours hang" crash
for threads in 2 4 8; do
  sound=0 wrong=0 platform=0 ours=0 crashed=0
  for ((run = 1; run <= runs; run++)); do
    set +e
    output=$(torture 1800 threads --threads "$threads" --clearers 2 --rounds "$rounds" --deadline 45)
    code=$?
    set -e
    {
      echo "---- threads=$threads run=$run exit=$code"
      printf '%s\n' "$output"
    } >>"$log"
    case $code in
      0) sound=$((sound + 1)) ;;
      1) wrong=$((wrong + 1)) ;;
      3) ours=$((ours + 1)) ;;
      5) platform=$((platform + 1)) ;;
      *) crashed=$((crashed + 1)) ;;
    esac
    # The first lines of a platform hang: where each host thread was.
    if [ "$code" = 3 ] || [ "$code" = 5 ]; then
      grep -m 3 -E '^(HANG|VERDICT)' <<<"$output" | cut -c1-150 | sed 's/^/    /'
    fi
  done
  printf '%-8s %5d %5d %9d %15d %11d %6d\n' "$threads" "$runs" "$sound" "$wrong" "$platform" \
    "$ours" "$crashed"
  if [ $((wrong + ours + crashed)) -ne 0 ]; then failed=1; fi
done

echo
echo "== soak: $cycles listing and extraction cycles"
set +e
output=$(torture $((cycles * 10 + 600)) leak --cycles "$cycles" --warmup 50 --deadline 90)
code=$?
set -e
printf '%s\n' "$output" >>"$log"
grep -E '^(USAGE (settled|end)|LEAK|GROWTH|COM|FAIL|LEFT|NOTE)' <<<"$output" || true
# A hang inside the platform (5) says nothing about the plug-in; anything else but 0 does.
if [ "$code" != 0 ] && [ "$code" != 5 ]; then failed=1; fi

echo
echo "soak: $(($(date +%s) - started)) s; details in $log, this summary in $work/soak-summary.txt"
if [ "$failed" != 0 ]; then
  echo "soak: FAILED"
  exit 1
fi
echo "soak: passed"
