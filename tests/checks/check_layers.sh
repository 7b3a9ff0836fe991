#!/usr/bin/env bash
# Fails when product code includes a layer above its own: plugin -> listing -> video -> win.
set -euo pipefail
root=${1:-$(dirname "$0")/../..}
cd "$root"
rank() { case $1 in plugin) echo 3 ;; listing) echo 2 ;; video) echo 1 ;; win) echo 0 ;; *) echo -1 ;; esac; }
status=0
for layer in plugin listing video win; do
  own=$(rank "$layer")
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$text")
    [ "$(rank "$target")" -gt "$own" ] || continue
    echo "$file:$line: $layer/ must not include $target/ (a layer above it): $text"
    status=1
  done < <(grep -nE '^#include "[a-z]+/' "$layer"/*.h "$layer"/*.cpp 2>/dev/null || true)
done
[ $status -eq 0 ] && echo "layers: every include points down"
exit $status
