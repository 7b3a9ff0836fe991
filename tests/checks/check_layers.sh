#!/usr/bin/env bash
# Fails when product code includes a layer above its own: plugin -> listing -> video -> win, and
# video -> picture. picture/ is standard C++ only: it includes nothing of ours outside picture/
# and no Windows header.
set -euo pipefail
root=${1:-$(dirname "$0")/../..}
cd "$root"
rank() { case $1 in plugin) echo 3 ;; listing) echo 2 ;; video) echo 1 ;; win | picture) echo 0 ;; *) echo -1 ;; esac; }
status=0
for layer in plugin listing video win picture; do
  own=$(rank "$layer")
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$text")
    if [ "$layer" = picture ]; then
      [ "$target" != picture ] || continue
    elif [ "$target" = picture ] && [ "$layer" != win ]; then
      continue
    else
      [ "$(rank "$target")" -gt "$own" ] || continue
    fi
    echo "$file:$line: $layer/ must not include $target/: $text"
    status=1
  done < <(grep -nE '^#include "[a-z]+/' "$layer"/*.h "$layer"/*.cpp 2>/dev/null || true)
done
while IFS=: read -r file line text; do
  echo "$file:$line: picture/ is standard C++ only: $text"
  status=1
done < <(grep -niE '^#include <(windows|win[a-z0-9_]*|mf[a-z0-9_]*|wrl/.*|objbase|unknwn)\.h>' \
  picture/*.h picture/*.cpp 2>/dev/null || true)
[ $status -eq 0 ] && echo "layers: every include points down"
exit $status
