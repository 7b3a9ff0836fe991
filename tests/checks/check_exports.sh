#!/usr/bin/env bash
# Checks both plug-ins' export tables (names and ordinals) and that they import only Windows
# system DLLs.
set -euo pipefail
sph=$1
spi=$2
fail=0

exports() {  # prints "ordinal name" per export; objdump lists ordinal minus base
  "$1" -p "$2" | awk '
    /^Ordinal Base/ {base = $3}
    /\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
    on && NF == 0 {on = 0}
    on {line = $0; sub(/^[ \t]*\[[ ]*/, "", line); split(line, f, /\][ \t]*/); print f[1] + base, f[2]}'
}

check() {  # objdump file expected
  local got
  got=$(exports "$1" "$2" | sort -n)
  if [ "$got" != "$3" ]; then
    echo "FAIL: export table of $2"
    diff <(echo "$3") <(echo "$got") || true
    fail=1
  fi
  local bad
  bad=$("$1" -p "$2" | awk '/DLL Name:/ {print tolower($3)}' |
    grep -vE '^(kernel32|user32|gdi32|ole32|oleaut32|shlwapi|mfplat|mfreadwrite|msvcrt|advapi32|shell32|propsys|ucrtbase|api-ms-win-.*)\.dll$' || true)
  if [ -n "$bad" ]; then
    echo "FAIL: $2 imports non-system DLLs: $bad"
    fail=1
  fi
}

names=(GetArchiveInfo GetArchiveInfoW GetFile GetFileInfo GetFileInfoW GetFileW GetPluginInfo
  GetPluginInfoW IsSupported IsSupportedW)
stack=(16 16 24 20 20 24 12 12 8 8)

expected64=""
for i in "${!names[@]}"; do expected64+="$((i + 1)) ${names[$i]}"$'\n'; done
# Decorated stdcall names keep ordinals 1 to 10; the plain aliases follow at 11 to 20.
expected32=""
for i in "${!names[@]}"; do expected32+="$((i + 1)) _${names[$i]}@${stack[$i]}"$'\n'; done
for i in "${!names[@]}"; do expected32+="$((i + 11)) ${names[$i]}"$'\n'; done

check x86_64-w64-mingw32-objdump "$sph" "${expected64%$'\n'}"
check i686-w64-mingw32-objdump "$spi" "${expected32%$'\n'}"
[ $fail -eq 0 ] && echo "export tables and imports of both plug-ins are as expected"
exit $fail
