#!/usr/bin/env bash
# Makes, once per machine, the 32-bit Wine that runs Stillreel.spi on machines whose CPU cannot
# execute 32-bit code: an i386 Debian root with Wine and GStreamer, run under a patched qemu
# user-mode emulator registered with binfmt_misc. cmake/wine32-run.sh runs programs in it.
#
# Everything lives in $STILLREEL_RIG32 (default /var/cache/stillreel-rig32), outside any work
# tree, so every clone and CI run on the machine shares it:
#   bin/qemu-i386        qemu 10.0.2 from bookworm-backports' source, static, i386 user mode only
#                        (with scripts/rig32/qemu-*.patch, if any)
#   root/                the i386 bookworm root (wine, wine32, GStreamer, the trap-number library)
#   root/opt/stillreel/wineprefix32   a booted win32 prefix that the runner copies per build
#   apt/                 a private apt list for bookworm-backports (the host's apt is untouched)
#   times.log            how long each step took
# Each step leaves a stamp in stamps/ and is skipped when its stamp exists; the root is built
# under root.tmp and renamed when complete. The binfmt_misc registration is checked on every
# run, since a reboot drops it. Usage: rig32.sh [binfmt]  (binfmt: only the registration)
#
# Measured on a fresh 2-core machine while two other builds ran (load 7 to 13), December 2026:
#   host packages 16 s; backports list and downloads 2 s; debootstrap first stage 1 m 8 s
#   (beside the qemu build); qemu 4 m 34 s; second stage 5 m 7 s; apt in the root 18 m 0 s;
#   trap-number library 8 s; wineboot 57 s; 29 m in all, 2.2 GB. With every stamp: 0.3 s.
set -euo pipefail

rig=${STILLREEL_RIG32:-/var/cache/stillreel-rig32}
here=$(cd "$(dirname "$0")" && pwd)
qemu_version=10.0.2
mirror=http://deb.debian.org/debian
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive

say() { echo "rig32: $*"; }

# The emulator takes every i386 ELF executable; O: the kernel opens the binary, C: setuid and
# credentials follow the binary, F: the interpreter is opened now, so it needs no copy in the root.
binfmt_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
binfmt_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
binfmt_dir=/proc/sys/fs/binfmt_misc

register_binfmt() {
  local qemu=$rig/bin/qemu-i386 entry=$binfmt_dir/qemu-i386
  [ -x "$qemu" ] || { say "no emulator at $qemu yet"; return 1; }
  [ -e "$binfmt_dir/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt_dir"
  if [ -e "$entry" ]; then
    if grep -qx enabled "$entry" && grep -qx "interpreter $qemu" "$entry" &&
      grep -qx 'flags: OCF' "$entry"; then
      return 0
    fi
    # Another emulator (Debian's qemu 7.2, or an older build of ours) cannot run Wine.
    say "replacing the qemu-i386 binfmt entry: $(grep interpreter "$entry")"
    echo -1 | $sudo tee "$entry" >/dev/null
  fi
  printf ':qemu-i386:M::%s:%s:%s:OCF' "$binfmt_magic" "$binfmt_mask" "$qemu" |
    $sudo tee "$binfmt_dir/register" >/dev/null
  say "registered $qemu for i386 executables"
}

# step NAME FUNCTION: runs FUNCTION unless NAME's stamp exists, and records how long it took.
step() {
  local name=$1 start
  [ -f "$rig/stamps/$name" ] && return 0
  say "$name ..."
  start=$(date +%s)
  "$2"
  local took=$(($(date +%s) - start))
  echo "$(date -u +%FT%TZ) $name $((took / 60)) m $((took % 60)) s" >>"$rig/times.log"
  touch "$rig/stamps/$name"
  say "$name done in $((took / 60)) m $((took % 60)) s"
}

# in_root DIR COMMAND...: runs COMMAND chrooted in DIR, with /proc and /dev mounted in a private
# mount namespace so nothing stays mounted afterwards.
in_root() {
  local dir=$1
  shift
  $sudo unshare --mount --propagation private -- /bin/sh -c '
    dir=$1; shift
    mount -t proc proc "$dir/proc"
    mount --rbind /dev "$dir/dev"
    exec chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
      LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"' sh "$dir" "$@"
}

host_packages() {
  local wanted=(debootstrap libglib2.0-dev libpcre2-dev zlib1g-dev python3-venv pkg-config
    ninja-build gcc make xz-utils patch) missing=() p
  for p in "${wanted[@]}"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  $sudo apt-get -o DPkg::Lock::Timeout=1200 install -y -qq "${missing[@]}" >/dev/null 2>&1 || {
    $sudo apt-get -o DPkg::Lock::Timeout=1200 update -qq
    $sudo apt-get -o DPkg::Lock::Timeout=1200 install -y -qq "${missing[@]}" >/dev/null
  }
}

# bookworm-backports through a private source list and list folder: the host's apt
# configuration and lists stay as they are.
apt_private=(-o "Dir::Etc::SourceList=$rig/apt/sources.list" -o "Dir::Etc::SourceParts=$rig/apt/parts"
  -o "Dir::State::Lists=$rig/apt/lists" -o "Dir::Cache::Archives=$rig/apt/archives"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=1
  -o APT::Sandbox::User=root)

backports_sources() {
  mkdir -p "$rig/apt/parts" "$rig/apt/lists/partial" "$rig/apt/archives/partial" "$rig/dl"
  cat >"$rig/apt/sources.list" <<EOF
deb [signed-by=$keyring] $mirror bookworm-backports main
deb-src [signed-by=$keyring] $mirror bookworm-backports main
EOF
  apt-get "${apt_private[@]}" update -qq
  # meson >= 1.5 and pycotap for qemu's configure (PyPI is out of reach), and qemu's source.
  (cd "$rig/dl" && apt-get "${apt_private[@]}" download -qq meson python3-pycotap)
  local uri file size hash
  while read -r uri file size hash; do
    case $file in
      qemu_*.orig.tar.*) ;;
      *) continue ;;
    esac
    uri=${uri//\'/}
    /usr/lib/apt/apt-helper download-file "$uri" "$rig/dl/$file" "$hash" >/dev/null
    ln -sf "$file" "$rig/dl/qemu.orig.tar"
  done < <(apt-get "${apt_private[@]}" source --print-uris -qq "qemu/bookworm-backports")
  [ -e "$rig/dl/qemu.orig.tar" ] || { say "no qemu source in bookworm-backports"; return 1; }
}

build_qemu() {
  local src=$rig/build/qemu py=$rig/build/py deb
  rm -rf "$rig/build"
  mkdir -p "$src" "$py" "$rig/bin"
  for deb in "$rig"/dl/*.deb; do dpkg-deb -x "$deb" "$py"; done
  tar -xf "$rig/dl/qemu.orig.tar" -C "$src" --strip-components=1
  grep -qx "$qemu_version" "$src/VERSION" || say "qemu source is $(cat "$src/VERSION"), not $qemu_version"
  local p
  for p in "${qemu_patches[@]}"; do patch -d "$src" -p1 -s <"$p"; done
  # Wine's threads need their own TLS descriptors: older qemu shared one GDT between all
  # emulated threads; 10.0 copies it per thread in cpu_copy().
  grep -q 'new_env->gdt.base = target_mmap' "$src/linux-user/main.c" ||
    { say "this qemu shares one GDT between threads: it needs a per-thread copy"; return 1; }
  (
    cd "$src"
    export PYTHONPATH=$py/usr/lib/python3/dist-packages
    export PATH=$py/usr/bin:$PATH
    ./configure --python=/usr/bin/python3 --target-list=i386-linux-user --static \
      --disable-system --disable-tools --disable-docs --without-default-features \
      --disable-install-blobs >"$rig/build/configure.log" 2>&1 ||
      { tail -n 30 "$rig/build/configure.log"; exit 1; }
    make -j "${JOBS:-2}" qemu-i386 >"$rig/build/make.log" 2>&1 || { tail -n 30 "$rig/build/make.log"; exit 1; }
  )
  cp "$src/build/qemu-i386" "$rig/bin/qemu-i386.new"
  mv -f "$rig/bin/qemu-i386.new" "$rig/bin/qemu-i386"
  # The kernel keeps the emulator it opened at registration: register the new one.
  if [ -e "$binfmt_dir/qemu-i386" ]; then echo -1 | $sudo tee "$binfmt_dir/qemu-i386" >/dev/null; fi
  rm -rf "$rig/build"
}

root_first_stage() {
  rm -rf "$rig/root.tmp"
  $sudo debootstrap --foreign --arch=i386 --variant=minbase bookworm "$rig/root.tmp" "$mirror" \
    >"$rig/debootstrap1.log" 2>&1 || { tail -n 20 "$rig/debootstrap1.log"; return 1; }
}

root_second_stage() {
  # An interrupted second stage cannot be resumed: start again from the first.
  [ ! -e "$rig/root.tmp/.second-stage" ] || root_first_stage
  touch "$rig/root.tmp/.second-stage"
  in_root "$rig/root.tmp" /debootstrap/debootstrap --second-stage >"$rig/debootstrap2.log" 2>&1 ||
    { tail -n 20 "$rig/debootstrap2.log"; return 1; }
}

root_packages() {
  local r=$rig/root.tmp
  cat >"$r/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
EOF
  cp /etc/resolv.conf "$r/etc/resolv.conf"
  # Documentation is never read here and unpacking it under emulation costs time.
  printf 'path-exclude /usr/share/doc/*\npath-exclude /usr/share/man/*\npath-exclude /usr/share/locale/*\n' \
    >"$r/etc/dpkg/dpkg.cfg.d/01-nodoc"
  in_root "$r" apt-get update -qq
  in_root "$r" dpkg --configure -a
  in_root "$r" apt-get install -y -qq --no-install-recommends wine wine32 libwine fonts-wine \
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad \
    gstreamer1.0-plugins-ugly gstreamer1.0-libav gcc libc6-dev >"$rig/root-apt.log" 2>&1 ||
    { tail -n 20 "$rig/root-apt.log"; return 1; }
  in_root "$r" apt-get clean
}

# qemu writes -1 for the trap number of i386 signal frames, which Wine reads to tell a page fault
# from an illegal instruction: the preloaded library puts in what the kernel would have.
root_trapno() {
  local r=$rig/root.tmp
  cp "$here/rig32/sigtrapno.c" "$r/tmp/sigtrapno.c"
  rm -f "$r/etc/ld.so.preload"
  in_root "$r" gcc -O2 -Wall -shared -fPIC -fno-stack-protector -o /usr/local/lib/libsigtrapno.so \
    /tmp/sigtrapno.c
  echo /usr/local/lib/libsigtrapno.so >"$r/etc/ld.so.preload"
  rm -f "$r/tmp/sigtrapno.c"
}

root_prefix() {
  local r=$rig/root.tmp
  rm -rf "$r/opt/stillreel"
  mkdir -p "$r/opt/stillreel"
  in_root "$r" /bin/sh -c 'export WINEPREFIX=/opt/stillreel/wineprefix32.tmp WINEARCH=win32
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" DISPLAY=
    wine wineboot -i >/dev/null 2>&1; wineserver -w'
  [ -f "$r/opt/stillreel/wineprefix32.tmp/system.reg" ] || { say "wineboot made no prefix"; return 1; }
  mv "$r/opt/stillreel/wineprefix32.tmp" "$r/opt/stillreel/wineprefix32"
}

root_publish() {
  mv "$rig/root.tmp" "$rig/root"
}

main() {
  $sudo mkdir -p "$rig/stamps"
  exec 9>"$rig/lock"
  flock 9
  if [ "${1:-}" = binfmt ]; then
    register_binfmt
    return
  fi
  step host-packages host_packages
  step backports-sources backports_sources
  # The first stage only downloads and unpacks: it runs while qemu builds.
  local first_stage_pid=
  if [ ! -f "$rig/stamps/root-first-stage" ] && [ ! -d "$rig/root" ]; then
    step root-first-stage root_first_stage &
    first_stage_pid=$!
  fi
  # The stamp names the emulator's version and, when there are patches, their hash: another
  # version or patch set gives another stamp, so the emulator is built again.
  qemu_patches=("$here"/rig32/qemu-*.patch)
  [ -e "${qemu_patches[0]}" ] || qemu_patches=()
  local qemu_stamp=qemu-$qemu_version
  if [ ${#qemu_patches[@]} -gt 0 ]; then
    qemu_stamp+=-patched-$(cat "${qemu_patches[@]}" | sha256sum | cut -c1-12)
  else
    # Rigs made before the stamp said so named the unpatched build after the empty input's hash.
    [ ! -f "$rig/stamps/qemu-e3b0c44298fc" ] || mv "$rig/stamps/qemu-e3b0c44298fc" "$rig/stamps/$qemu_stamp"
  fi
  step "$qemu_stamp" build_qemu
  [ -z "$first_stage_pid" ] || wait "$first_stage_pid"
  register_binfmt
  if [ ! -d "$rig/root" ]; then
    step root-second-stage root_second_stage
    step root-packages root_packages
    step root-trapno root_trapno
    step root-prefix root_prefix
    step root-publish root_publish
  fi
}

main "$@"
