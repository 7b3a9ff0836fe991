#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine in a private prefix beside the build, made once.
# Usage: wine-run.sh PREFIX_DIR PROGRAM [ARGS...]
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export DISPLAY=
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.ready" ]; then
    wine wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    touch "$prefix/.ready"
  fi
) 9>"$prefix.lock"
exec wine "$@"
