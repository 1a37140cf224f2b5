#!/bin/bash
# Fetches and builds everything the test VM needs into a cache, once:
# host tools (apt), Debian's amd64 kernel and its modules, v4l2loopback built
# against the matching headers, and a busybox initramfs with our init.
# The cache is $LCDVM_CACHE, by default ~/.cache/lcd_display-vm; prints the
# folder for the current kernel on its last line.
# Idempotent: a warm run only checks stamps. Exits 77 when packages are
# missing and this user cannot install them.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=${LCDVM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/lcd_display-vm}
host_packages=(qemu-system-x86 qemu-system-data busybox-static kmod cpio xz-utils gcc-12 make
               libjpeg-turbo-progs)
# Modules each VM flavour loads, as named to modprobe.
base_modules=(9pnet_virtio 9p virtio_pci)
vfb_modules=(vfb)
bochs_modules=(bochs)
camera_modules=(videodev)

die() { echo "prepare.sh: $*" >&2; exit 1; }
log() { echo "prepare.sh: $*" >&2; }

install_missing_host_packages() {
  local missing=() p
  for p in "${host_packages[@]}"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = 'install ok installed' ] || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  if [ "$(id -u)" -ne 0 ]; then
    log "missing packages ${missing[*]}; run as root or install them"
    exit 77
  fi
  log "installing ${missing[*]}"
  apt-get -o DPkg::Lock::Timeout=300 update -qq || die "apt-get update failed"
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null || die "apt-get install ${missing[*]} failed"
}

# The versioned image package that linux-image-amd64 currently points at.
kernel_package() {
  local pkg
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2}')
  if [ -z "$pkg" ]; then
    apt-get -o DPkg::Lock::Timeout=300 update -qq || die "apt-get update failed"
    pkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/{print $2}')
  fi
  [ -n "$pkg" ] || die "apt-cache depends linux-image-amd64 names no kernel"
  echo "$pkg"
}

kbuild_package() {
  apt-cache depends "$1" | awk '/Depends: linux-kbuild-/{print $2}'
}

download_and_unpack() {
  local dir=$1; shift
  mkdir -p "$dir/debs" "$dir/root"
  (cd "$dir/debs" && apt-get -o APT::Sandbox::User=root download -q "$@" >/dev/null) || die "apt-get download $* failed"
  local deb
  for deb in "$dir"/debs/*.deb; do
    dpkg -x "$deb" "$dir/root" || die "dpkg -x $deb failed"
  done
  rm -rf "$dir/debs"
}

fetch_sources() {
  local dir=$1 kver=$2
  [ -f "$dir/unpacked.stamp" ] && return
  local kbuild
  kbuild=$(kbuild_package "linux-headers-$kver")
  [ -n "$kbuild" ] || die "no linux-kbuild package found for linux-headers-$kver"
  log "downloading kernel $kver, its headers and v4l2loopback-dkms"
  rm -rf "$dir/debs" "$dir/root"
  download_and_unpack "$dir" "linux-image-$kver" "linux-headers-$kver" \
    "linux-headers-${kver%-amd64}-common" "$kbuild" v4l2loopback-dkms
  # The headers' Makefile includes the common half by its installed path.
  sed -i "s|^include /usr/src/|include $dir/root/usr/src/|" \
    "$dir/root/usr/src/linux-headers-$kver/Makefile" || die "sed on the headers' Makefile failed"
  touch "$dir/unpacked.stamp"
}

build_v4l2loopback() {
  local dir=$1 kver=$2
  [ -f "$dir/v4l2loopback.ko" ] && return
  local sources=("$dir"/root/usr/src/v4l2loopback-*)
  local src=${sources[0]} hdr=$dir/root/usr/src/linux-headers-$kver
  [ -d "$src" ] || die "v4l2loopback source missing under $dir/root/usr/src"
  log "building v4l2loopback against $hdr"
  make -s -C "$hdr" M="$src" -j"$(nproc)" modules >"$dir/v4l2loopback-build.log" 2>&1 ||
    die "make v4l2loopback failed, see $dir/v4l2loopback-build.log"
  cp "$src/v4l2loopback.ko" "$dir/v4l2loopback.ko"
}

# Writes the insmod order for the given modules, one .ko path per line,
# leaving out those built into the kernel.
module_order() {
  local dir=$1 kver=$2; shift 2
  local m
  for m in "$@"; do
    modprobe -d "$dir/root" -S "$kver" --show-depends "$m" ||
      die "modprobe --show-depends $m failed"
  done | awk '$1 == "insmod" {print $2}' | awk '!seen[$0]++'
}

index_modules() {
  local dir=$1 kver=$2
  [ -f "$dir/root/lib/modules/$kver/modules.dep" ] && return
  depmod -b "$dir/root" "$kver" || die "depmod -b $dir/root $kver failed"
}

copy_modules() {
  local dir=$1 kver=$2 stage=$3 group=$4; shift 4
  local order ko
  order=$(module_order "$dir" "$kver" "$@") || die "no module order for $*"
  : >"$stage/modules/$group.list"
  for ko in $order; do
    ko=${ko#"$dir/root"}
    cp "$dir/root$ko" "$stage/modules/"
    basename "$ko" >>"$stage/modules/$group.list"
  done
}

build_initramfs() {
  local dir=$1 kver=$2
  local tag
  tag=$(cat "$here/init.sh" "$0" | sha256sum | cut -c1-16)
  [ -f "$dir/initramfs-$tag.cpio.gz" ] && { ln -sf "initramfs-$tag.cpio.gz" "$dir/initramfs.cpio.gz"; return; }
  log "building initramfs"
  local stage=$dir/initramfs.stage
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,dev,proc,sys,host,out,modules}
  cp /bin/busybox "$stage/bin/busybox"
  cp "$here/init.sh" "$stage/init"
  chmod 755 "$stage/init"
  copy_modules "$dir" "$kver" "$stage" base "${base_modules[@]}"
  copy_modules "$dir" "$kver" "$stage" vfb "${vfb_modules[@]}"
  copy_modules "$dir" "$kver" "$stage" bochs "${bochs_modules[@]}"
  copy_modules "$dir" "$kver" "$stage" camera "${camera_modules[@]}"
  cp "$dir/v4l2loopback.ko" "$stage/modules/"
  echo v4l2loopback.ko >>"$stage/modules/camera.list"
  (cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$dir/initramfs-$tag.cpio.gz.tmp" ||
    die "cpio of $stage failed"
  rm -f "$dir"/initramfs-*.cpio.gz
  mv "$dir/initramfs-$tag.cpio.gz.tmp" "$dir/initramfs-$tag.cpio.gz"
  ln -sf "initramfs-$tag.cpio.gz" "$dir/initramfs.cpio.gz"
  rm -rf "$stage"
}

# QEMU boots the ELF vmlinux through its PVH entry; decompressing the bzImage
# under TCG would cost seconds on every boot.
extract_kernel() {
  local dir=$1 kver=$2
  [ -f "$dir/vmlinux" ] && return
  local image=$dir/root/boot/vmlinuz-$kver offset
  offset=$(LC_ALL=C grep -obUaP '\xfd\x37\x7a\x58\x5a\x00' "$image" | awk -F: 'NR == 1 {print $1}')
  [ -n "$offset" ] || die "no xz stream found in $image"
  xz -dc --single-stream <(tail -c +$((offset + 1)) "$image") >"$dir/vmlinux.tmp" ||
    die "xz -dc of $image failed"
  mv "$dir/vmlinux.tmp" "$dir/vmlinux"
}

# Parallel test runs share the cache; the first one fills it.
lock_cache() {
  mkdir -p "$cache" || die "mkdir $cache failed"
  exec 9>"$cache/.lock"
  flock 9 || die "flock $cache/.lock failed"
}

main() {
  lock_cache
  install_missing_host_packages
  local pkg kver dir
  pkg=$(kernel_package)
  kver=${pkg#linux-image-}
  dir=$cache/$kver
  mkdir -p "$dir"
  fetch_sources "$dir" "$kver"
  build_v4l2loopback "$dir" "$kver"
  index_modules "$dir" "$kver"
  build_initramfs "$dir" "$kver"
  extract_kernel "$dir" "$kver"
  echo "$dir"
}

main "$@"
