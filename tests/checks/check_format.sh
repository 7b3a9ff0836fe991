#!/usr/bin/env bash
# Fails when clang-format (with the repo's .clang-format) would change any product source.
set -euo pipefail
cd "${1:-$(dirname "$0")/../..}"
files=$(ls plugin/*.h plugin/*.cpp listing/*.h listing/*.cpp video/*.h video/*.cpp picture/*.h \
  picture/*.cpp win/*.h host/*.h \
  host/*.cpp)
clang-format --dry-run -Werror $files
echo "format: $(wc -w <<<"$files") files as clang-format writes them"
