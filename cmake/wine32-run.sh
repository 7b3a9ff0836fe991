#!/usr/bin/env bash
# Runs a 32-bit Windows program under the 32-bit Wine of scripts/rig32.sh (an i386 root run by
# qemu), in a prefix beside the build that is copied once from the rig's booted one.
# Usage: wine32-run.sh PREFIX_DIR PROGRAM [ARGS...]
#
# The root sees the build root (the folder above PREFIX_DIR's folder: win32/, native/, media)
# at the same path, so Z:\ paths mean what they mean under the 64-bit Wine.
# STILLREEL_WINE32_SHARE, folders separated by ":", replaces that list; all runs with one prefix
# must see the same folders, since they share one wineserver, which lives in the mount
# namespace of the run that started it.
#
# A run killed by a signal is the emulator dying, or Wine under it: never taken for a result.
# When that happens before the program printed anything, the run is tried again, at most twice,
# and each retry is reported on stderr. PREFIX_DIR.runs gets one line per attempt: exit STATUS,
# startup-crash STATUS (retried) or crash STATUS.
#
# The prefix is copied (about 0.6 GB, 3 s) rather than booted (a minute under emulation).
set -euo pipefail
rig=${STILLREEL_RIG32:-/var/cache/stillreel-rig32}
root=$rig/root
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(realpath -m "$1")
shift
program=$1
shift
[ -e "$program" ] && program=$(realpath "$program")

if [ ! -d "$root/opt/stillreel/wineprefix32" ]; then
  echo "wine32-run: no 32-bit Wine in $root: run scripts/rig32.sh (make setup does)" >&2
  exit 1
fi
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
# Cheap when registered; a reboot drops the registration while the rig stays.
"$here/../scripts/rig32.sh" binfmt >/dev/null

shares=${STILLREEL_WINE32_SHARE:-$(dirname "$(dirname "$prefix")")}
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.ready" ]; then
    rm -rf "$prefix"
    cp -a "$root/opt/stillreel/wineprefix32" "$prefix"
    touch "$prefix/.ready"
  fi
) 9>"$prefix.lock"

env_vars=(WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}"
  WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" DISPLAY= HOME=/root LANG="${LANG:-C.UTF-8}"
  PATH=/usr/local/bin:/usr/bin:/bin)
# STILLREEL_QEMU_CPU picks the emulated processor (qemu's -cpu syntax, e.g. max,-avx2).
[ -z "${STILLREEL_QEMU_CPU:-}" ] || env_vars+=(QEMU_CPU="$STILLREEL_QEMU_CPU")
while IFS='=' read -r name value; do
  env_vars+=("$name=$value")
done < <(env | grep '^STILLREEL_' || true)

run_once() {
  $sudo unshare --mount --propagation private -- /bin/bash -c '
    set -e
    root=$1 shares=$2 cwd=$3
    shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    IFS=: read -ra dirs <<<"$shares"
    # Outer folders first, so that a nested one is not hidden by its parent.
    printf "%s\n" "${dirs[@]}" | awk "{print length, \$0}" | sort -n | cut -d" " -f2- |
      while IFS= read -r d; do
        d=$(realpath "$d")
        mkdir -p "$root$d"
        mount --bind "$d" "$root$d"
      done
    exec chroot "$root" /usr/bin/env -i "$@"' \
    sh "$root" "$shares" "$PWD" "${env_vars[@]}" /bin/sh -c '
      # A wineserver that outlives its clients for a minute spares the next run starting
      # Wine'"'"'s services again (seconds under emulation); when one runs, this one just exits.
      wineserver -p60 2>/dev/null || true
      cd "$0" 2>/dev/null || cd /
      exec "$@"' "$PWD" wine "$program" "$@"
}

# Wine's services outlive the program by the wineserver's minute and keep the program's stdio:
# given files, they hold no pipe of the caller open, so a caller reading to the end is not kept
# waiting.
runs_log=$prefix.runs
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 0 1 2; do
  status=0
  run_once "$@" </dev/null >"$out" 2>"$err" || status=$?
  cat "$err" >&2
  if [ "$status" -ge 128 ] && [ ! -s "$out" ] && [ "$attempt" -lt 2 ]; then
    echo "wine32-run: $(basename "$program") died on signal $((status - 128)) at start-up; retry $((attempt + 1)) of 2" >&2
    echo "startup-crash $status $(basename "$program")" >>"$runs_log"
    continue
  fi
  break
done
cat "$out"
if [ "$status" -ge 128 ]; then
  echo "wine32-run: $(basename "$program") died on signal $((status - 128)) under the emulator" >&2
  echo "crash $status $(basename "$program")" >>"$runs_log"
else
  echo "exit $status $(basename "$program")" >>"$runs_log"
fi
exit "$status"
