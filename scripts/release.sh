#!/usr/bin/env bash
# Packs the already-built plug-ins into OUT_DIR/Stillreel-<version>.zip for users: both DLLs,
# the commented settings file, the guides, the licence and a SHA-256 list of them all.
# Usage: release.sh BUILD_DIR OUT_DIR   (BUILD_DIR holds win64/ and win32/)
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR OUT_DIR" >&2
  exit 2
fi
build=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
  echo "release: $*" >&2
  exit 1
}

# The version the CMake build wrote from project(... VERSION ...), the one the DLLs carry.
version_of() {
  local header=$1/generated/stillreel_version.h
  [ -f "$header" ] || fail "$header is missing: build first (make build)"
  sed -n 's/^#define STILLREEL_VERSION_STRING "\(.*\)"$/\1/p' "$header"
}
version=$(version_of "$build/win64")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no version in $build/win64"
[ "$(version_of "$build/win32")" = "$version" ] ||
  fail "win64 and win32 were configured with different versions: rebuild both"

sph=$build/win64/Stillreel.sph
spi=$build/win32/Stillreel.spi
for dll in "$sph" "$spi"; do
  [ -f "$dll" ] || fail "$dll is missing: build first (make build)"
  # A DLL left over from another version would be packed under this version's name; grep
  # reads to the end (no -q) so that strings never dies of a closed pipe under pipefail.
  strings -el "$dll" | grep -xF "$version" >/dev/null ||
    fail "$dll does not carry version $version"
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# Windows line ends, so that every editor shows the texts as they are meant.
crlf() { sed 's/\r*$/\r/' "$1"; }

# The guides take the version in place of @VERSION@ and a byte-order mark, so that Notepad
# reads them as UTF-8 whatever the system's code page.
guide() {
  local source=$root/docs/guide-$1.md
  grep -qF '@VERSION@' "$source" || fail "$source has no @VERSION@ to fill in"
  { printf '\357\273\277'; crlf "$source" | sed "s/@VERSION@/$version/g"; } >"$stage/guide-$1.txt"
}

cp "$sph" "$spi" "$stage/"
crlf "$root/scripts/Stillreel.ini" >"$stage/Stillreel.ini"
guide ja
guide en
crlf "$root/LICENSE" >"$stage/LICENSE.txt"
files=(Stillreel.sph Stillreel.spi Stillreel.ini guide-ja.txt guide-en.txt LICENSE.txt)
(cd "$stage" && sha256sum -- "${files[@]}" | sed 's/$/\r/' >SHA256SUMS.txt)

mkdir -p "$out"
zipfile=$(cd "$out" && pwd)/Stillreel-$version.zip
rm -f "$zipfile" "$zipfile.part"
# Written under a temporary name: an interrupted run leaves no zip that looks complete.
(cd "$stage" && zip -q -X -D "$zipfile.part" "${files[@]}" SHA256SUMS.txt)
mv -f "$zipfile.part" "$zipfile"
echo "release: $zipfile"
