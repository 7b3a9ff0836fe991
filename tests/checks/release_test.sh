#!/usr/bin/env bash
# The release package as a user gets it: builds the zip with scripts/release.sh, unpacks it and
# checks its files, checksums and versions, then puts the sample settings file beside the
# 64-bit plug-in and checks under Wine that every example in its comments comes true.
# Usage: release_test.sh BUILD_DIR MEDIA_DIR WINE_PREFIX   (BUILD_DIR holds win64/ and win32/)
set -euo pipefail
export LC_ALL=C  # byte order for sorting file names

if [ $# -ne 3 ]; then
  echo "usage: $0 BUILD_DIR MEDIA_DIR WINE_PREFIX" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
media=$(cd "$2" && pwd)
prefix=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Prints "machine fixed-file-version fixed-product-version FileVersion ProductVersion" from a
# PE file's version resource, walking the headers and the resource tree as the loader does.
pe_version_reader=$(
  cat <<'PERL'
use strict;
use warnings;
my $file = shift;
open my $fh, '<:raw', $file or die "$file: $!\n";
my $pe = do { local $/; <$fh> };
sub u16 { my ($s, $o) = @_; die "truncated\n" if $o + 2 > length $s; unpack 'v', substr($s, $o, 2) }
sub u32 { my ($s, $o) = @_; die "truncated\n" if $o + 4 > length $s; unpack 'V', substr($s, $o, 4) }
die "no MZ header\n" unless substr($pe, 0, 2) eq 'MZ';
my $nt = u32($pe, 0x3c);
die "no PE header\n" unless substr($pe, $nt, 4) eq "PE\0\0";
my ($machine, $sections, $optional_size) = map { u16($pe, $nt + $_) } (4, 6, 20);
my $optional = $nt + 24;
my $directories = $optional + (u16($pe, $optional) == 0x20b ? 112 : 96);
my $resource_rva = u32($pe, $directories + 2 * 8);
die "no resource directory\n" unless $resource_rva;
my @table;
for my $i (0 .. $sections - 1) {
  my $s = $optional + $optional_size + 40 * $i;
  my ($virtual_size, $rva, $raw_size, $raw) = map { u32($pe, $s + $_) } (8, 12, 16, 20);
  push @table, [$rva, $virtual_size > $raw_size ? $virtual_size : $raw_size, $raw];
}
sub offset_of {
  my ($rva) = @_;
  for (@table) { return $_->[2] + $rva - $_->[0] if $rva >= $_->[0] && $rva < $_->[0] + $_->[1] }
  die "address $rva outside every section\n";
}
my $base = offset_of($resource_rva);
# The entry of a resource directory with the numeric id, or the first one for undef.
sub entry {
  my ($directory, $id) = @_;
  my $count = u16($pe, $directory + 12) + u16($pe, $directory + 14);
  for my $i (0 .. $count - 1) {
    my $e = $directory + 16 + 8 * $i;
    return u32($pe, $e + 4) if !defined $id || u32($pe, $e) == $id;
  }
  die "no resource entry " . ($id // 'at all') . "\n";
}
my $types = entry($base, 16);        # RT_VERSION, a subdirectory
my $names = entry($base + ($types & 0x7fffffff));
my $leaf = entry($base + ($names & 0x7fffffff));
my $info = substr($pe, offset_of(u32($pe, $base + $leaf)), u32($pe, $base + $leaf + 4));

# One block of the version tree: key, value offset and length in bytes, children, end.
sub block {
  my ($o) = @_;
  my ($length, $value_length, $type) = (u16($info, $o), u16($info, $o + 2), u16($info, $o + 4));
  my ($key, $k) = ('', $o + 6);
  while ((my $c = u16($info, $k)) != 0) { $key .= chr $c; $k += 2 }
  my $value = ($k + 2 + 3) & ~3;
  my $value_bytes = $type == 1 ? 2 * $value_length : $value_length;
  return ($key, $value, $value_bytes, ($value + $value_bytes + 3) & ~3, $o + $length);
}
my ($root_key, $fixed, $fixed_bytes, $child, $end) = block(0);
die "not a version resource\n" unless $root_key eq 'VS_VERSION_INFO' && $fixed_bytes >= 52;
die "no fixed file information\n" unless u32($info, $fixed) == 0xFEEF04BD;
sub quad {
  my ($ms, $ls) = @_;
  join '.', $ms >> 16, $ms & 0xffff, $ls >> 16, $ls & 0xffff;
}
my $file_version = quad(u32($info, $fixed + 8), u32($info, $fixed + 12));
my $product_version = quad(u32($info, $fixed + 16), u32($info, $fixed + 20));
my %strings;
sub strings_in {
  my ($o, $end, $depth) = @_;
  while ($o + 6 <= $end) {
    my ($key, $value, $bytes, $child, $next) = block($o);
    last if $next <= $o;
    if ($depth == 2) {
      (my $text = substr($info, $value, $bytes)) =~ s/\0\0.*//s;
      $text .= "\0" if length($text) % 2;
      ($strings{$key} = pack 'U*', unpack 'v*', $text) =~ s/\0+$//;
    } elsif ($depth == 0 && $key eq 'StringFileInfo' || $depth == 1) {
      strings_in($child, $next, $depth + 1);
    }
    $o = ($next + 3) & ~3;
  }
}
strings_in($child, $end, 0);
printf "%x %s %s %s %s\n", $machine, $file_version, $product_version,
  $strings{FileVersion} // '-', $strings{ProductVersion} // '-';
PERL
)

version=$(sed -n 's/^project(Stillreel VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "FAIL: no version in CMakeLists.txt"; exit 1; }

# --- The package is complete and every file is the one it claims to be. -----------------------
"$root/scripts/release.sh" "$build" "$work/dist" >/dev/null
zipfile=$work/dist/Stillreel-$version.zip
[ -f "$zipfile" ] || { echo "FAIL: release.sh wrote no $zipfile"; exit 1; }
expected="LICENSE.txt SHA256SUMS.txt Stillreel.ini Stillreel.sph Stillreel.spi"
expected+=" guide-en.txt guide-ja.txt"
got=$(unzip -Z1 "$zipfile" | sort | xargs)
[ "$got" = "$expected" ] || fail "zip holds [$got], expected [$expected]"
pkg=$work/pkg
unzip -q "$zipfile" -d "$pkg"

(cd "$pkg" && sha256sum --quiet -c SHA256SUMS.txt) || fail "a checksum does not match"
listed=$(tr -d '\r' <"$pkg/SHA256SUMS.txt" | awk '{print $2}' | sort | xargs)
[ "$listed" = "${expected/SHA256SUMS.txt /}" ] || fail "SHA256SUMS.txt lists [$listed]"
cmp -s "$pkg/Stillreel.sph" "$build/win64/Stillreel.sph" ||
  fail "Stillreel.sph is not the 64-bit DLL"
cmp -s "$pkg/Stillreel.spi" "$build/win32/Stillreel.spi" ||
  fail "Stillreel.spi is not the 32-bit DLL"

# --- Both DLLs carry the package's version, each with its own width. --------------------------
for pair in "Stillreel.sph 8664" "Stillreel.spi 14c"; do
  read -r dll machine <<<"$pair"
  want="$machine $version.0 $version.0 $version $version"
  have=$(perl -e "$pe_version_reader" "$pkg/$dll" 2>&1) || true
  [ "$have" = "$want" ] || fail "$dll: version resource gives [$have], expected [$want]"
done

# --- The texts open in Notepad as UTF-8 and name the version. ---------------------------------
for guide in guide-ja.txt guide-en.txt; do
  text=$pkg/$guide
  [ "$(head -c 3 "$text" | od -An -tx1 | xargs)" = "ef bb bf" ] || fail "$guide has no UTF-8 BOM"
  iconv -f UTF-8 -t UTF-8 "$text" >/dev/null 2>&1 || fail "$guide is not valid UTF-8"
  grep -qF "Stillreel $version" "$text" || fail "$guide does not name version $version"
  ! grep -qF '@VERSION@' "$text" || fail "$guide still holds @VERSION@"
  for word in Stillreel.sph Stillreel.spi Stillreel.ini div divsec sec ext trace aspect readahead; do
    grep -qw -- "$word" "$text" || fail "$guide never mentions $word"
  done
done
for text in "$pkg"/*.txt "$pkg/Stillreel.ini"; do
  ! grep -qv $'\r$' "$text" || fail "$(basename "$text") has lines without CRLF"
done
licence=$pkg/LICENSE.txt
grep -qF 'Copyright (c) 2026 Plorx' "$licence" && grep -qF 'MIT License' "$licence" ||
  fail "LICENSE.txt is not the MIT licence of Plorx"

# --- An incomplete or stale build yields no zip. ----------------------------------------------
partial=$work/partial
mkdir -p "$partial/win64/generated" "$partial/win32/generated"
cp "$build/win64/Stillreel.sph" "$partial/win64/"
cp "$build/win64/generated/stillreel_version.h" "$partial/win64/generated/"
cp "$build/win32/generated/stillreel_version.h" "$partial/win32/generated/"
if "$root/scripts/release.sh" "$partial" "$work/partial-dist" >/dev/null 2>&1 ||
  compgen -G "$work/partial-dist/*.zip*" >/dev/null; then
  fail "release.sh packed a build without Stillreel.spi"
fi
cp "$build/win32/Stillreel.spi" "$partial/win32/"
sed -i 's/"'"$version"'"/"9.8.7"/' "$partial"/win*/generated/stillreel_version.h
if "$root/scripts/release.sh" "$partial" "$work/partial-dist" >/dev/null 2>&1 ||
  compgen -G "$work/partial-dist/*.zip*" >/dev/null; then
  fail "release.sh packed DLLs of version $version as 9.8.7"
fi

# --- The sample settings file keeps the promises of its comments. -----------------------------
scratch=$work/plugin
mkdir -p "$scratch"
cp "$pkg/Stillreel.sph" "$scratch/"
winpath() { echo "Z:$1" | tr / '\\'; }
sphost() {
  "$root/cmake/wine-run.sh" "$prefix" "$build/win64/sphost.exe" "$@" | tr -d '\r'
}
setting() { sed -n "s/^$1=\([^\r]*\)\r\?$/\1/p" "$2"; }

ext=$(setting ext "$pkg/Stillreel.ini")
cp "$pkg/Stillreel.ini" "$scratch/"
filter=$(sphost info "$(winpath "$scratch/Stillreel.sph")" |
  sed -n 's/^2: \(.*\) (length [0-9]*)$/\1/p') || true
[ "$filter" = "${ext//,/;}" ] || fail "the viewer is offered [$filter] for ext=$ext"

# Each example reads "Example: KEY=N on a D s video gives C frame(s), at T1, T2 ... and Tn s."
# The shipped file runs as it is for the example that matches its own settings; for the others
# only that key is changed.
pattern='^; Example: \([a-z]*\)=\([0-9]*\) on a \([0-9]*\) s video gives \([0-9]*\) frames\?,'
pattern+=' at \(.*\) s\.\r\?$'
examples=$(sed -n "s/$pattern/\1 \2 \3 \4 \5/p" "$pkg/Stillreel.ini")
[ -n "$examples" ] || fail "Stillreel.ini has no examples to check"
as_shipped=0
while read -r key value seconds count times; do
  [ -n "$key" ] || continue
  example="$key=$value on a $seconds s video"
  if [ "$(setting "$key" "$pkg/Stillreel.ini")" = "$value" ]; then
    as_shipped=$((as_shipped + 1))
    cp "$pkg/Stillreel.ini" "$scratch/"
  else
    sed "s/^$key=[^\r]*/$key=$value/" "$pkg/Stillreel.ini" >"$scratch/Stillreel.ini"
  fi
  video=$media/len${seconds}s.mp4
  if [ ! -f "$video" ]; then
    fail "$example: there is no generated video of $seconds s"
    continue
  fi
  out=$work/frames
  rm -rf "$out"
  log=$(sphost extract "$(winpath "$scratch/Stillreel.sph")" "$(winpath "$video")" \
    "$(winpath "$out")") || fail "$example: sphost extract failed:"$'\n'"$log"
  names=$(echo "$log" | awk '$1 ~ /^[0-9]+$/ && $2 ~ /\.bmp$/ {print $2}' | xargs)
  want_names=$(for ((i = 0; i < count; i++)); do printf 'len%ss%03d.bmp ' "$seconds" "$i"; done)
  want_names=${want_names% }
  [ "$names" = "$want_names" ] || fail "$example: entries [$names], promised [$want_names]"

  # Moment videos show second s as gray 16 + 3 (s mod 64) (video levels) outside the top-left
  # marker and clock cells; the last frame of the video belongs to second D - 1. The first row
  # of the pixel array is the picture's bottom row: its last pixel is the bottom-right one.
  i=0
  for t in ${times//and/,}; do
    t=${t%,}
    [ -n "$t" ] || continue
    bmp=$out/$(printf 'len%ss%03d.bmp' "$seconds" "$i")
    i=$((i + 1))
    [ -f "$bmp" ] || continue
    shown=$(((t < seconds ? t : seconds - 1) % 64))
    width=$(od -An -tu4 -j 18 -N 4 "$bmp" | xargs)
    gray=$(od -An -tu1 -j $((54 + (width - 1) * 4)) -N 1 "$bmp" | xargs)
    want_gray=$(((3 * shown * 255 + 219 / 2) / 219))
    [ $((gray - want_gray)) -ge -1 ] && [ $((gray - want_gray)) -le 1 ] ||
      fail "$example: entry $((i - 1)) shows gray $gray, the frame at $t s has $want_gray"
  done
  [ "$i" -eq "$count" ] || fail "$example: $count frames promised but $i times given"
done <<<"$examples"
[ "$as_shipped" -ge 1 ] || fail "no example matches the settings Stillreel.ini ships with"

if [ "$failures" -ne 0 ]; then
  echo "$failures release check(s) failed"
  exit 1
fi
echo "release package Stillreel-$version.zip: complete, consistent, and its examples hold"
