#!/usr/bin/env bash
# Installs, only where missing, every Debian package the build, tests, demo and benchmarks use,
# and then the 32-bit Wine the tests run Stillreel.spi in. Usage: setup.sh [--no-rig32]
# (--no-rig32: the packages only, for the demo, which needs no 32-bit Wine: the 32-bit plug-in is
# only cross-compiled).
set -euo pipefail

packages=(
  make cmake ninja-build g++ clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64
  ffmpeg gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-libav
  googletest libgtest-dev libbenchmark-dev libyuv-dev
  imagemagick fonts-dejavu-core zip unzip
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The 32-bit Wine that runs Stillreel.spi in the tests, made once per machine.
[ "${1:-}" = --no-rig32 ] || "$(dirname "$0")/rig32.sh"
