#!/usr/bin/env bash
# Fetches and builds everything a test VM needs into a cache, once: host tools
# (apt), Debian's kernel for the VM's architecture and its modules,
# v4l2loopback and a dummy_hcd with isochronous endpoints (for a USB camera)
# built against the matching headers (cross-built for ARM), and a busybox
# initramfs with our init; for armhf also device trees that give QEMU's
# vexpress-a9 an 800x480 LCD panel; with --debian-root also a Debian 12 root
# for the VM to boot with systemd (amd64 only).
#
#   prepare.sh [--debian-root] [amd64|armhf|arm64]   (default: this machine's architecture)
#
# The cache is $LCDVM_CACHE, by default ~/.cache/lcd_display-vm: the amd64
# pieces in a folder named after the kernel, the ARM ones under a folder named
# after the architecture, each with its own lock, so a VM of one kind never
# waits for another's preparation. Prints the kernel's and the initramfs's
# paths, one a line, with --debian-root then the root's disk image and the
# folder holding the kernel's lib/modules, and says how long it took when it
# had work to do. The armhf kernel's folder holds the device trees,
# vexpress-lcd-32.dtb and vexpress-lcd-16.dtb, named after the panel's depth.
# Idempotent: a warm run only checks stamps. Exits 77 when packages are
# missing and this user cannot install them.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=${LCDVM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/lcd_display-vm}
# libelf1: the kernel's objtool, unpacked with linux-kbuild rather than installed, loads it.
host_packages=(qemu-system-data busybox-static kmod cpio xz-utils make mawk libelf1 libjpeg-turbo-progs patch)
# Modules each VM flavour loads, as named to modprobe: the groups init.sh loads.
module_groups=(
    "base 9pnet_virtio 9p virtio_pci"
    "kms_helper drm_kms_helper"
    "bochs bochs"
    "virtio_gpu virtio_gpu"
    "camera videodev v4l2loopback"
    "usb_camera dummy_hcd libcomposite usb_f_uvc uvcvideo"
)
# What the Debian root holds besides the apt variant's packages: systemd, and
# the libraries our packages depend on, so that they install with plain dpkg
# -i as if apt had fetched their dependencies.
root_packages=systemd,systemd-sysv,udev,kmod,libjpeg62-turbo,libdrm2
# Only the units the live view needs, so that it boots in seconds under
# emulation: no logins (and no logind: no D-Bus here), timers, generators,
# kernel debug file systems, random seed, utmp or persistent journal.
# shellcheck disable=SC2016  # mmdebstrap's shell expands them, $1 the root
root_hooks=(
    'echo lcdvm >"$1/etc/hostname"'
    'mkdir -p "$1/etc/systemd/journald.conf.d" &&
        printf "[Journal]\nStorage=volatile\n" >"$1/etc/systemd/journald.conf.d/volatile.conf"'
    'chroot "$1" systemctl set-default multi-user.target'
    'mkdir -p "$1/etc/systemd/system-generators" && for g in "$1"/lib/systemd/system-generators/*; do
        ln -s /dev/null "$1/etc/systemd/system-generators/${g##*/}"; done'
    'chroot "$1" systemctl mask getty.target systemd-logind.service systemd-user-sessions.service \
        apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer fstrim.timer \
        systemd-tmpfiles-clean.timer systemd-random-seed.service systemd-remount-fs.service \
        systemd-journal-flush.service systemd-update-utmp.service systemd-update-utmp-runlevel.service \
        kmod-static-nodes.service modprobe@.service systemd-sysusers.service systemd-sysctl.service \
        systemd-tmpfiles-setup.service systemd-tmpfiles-setup-dev.service systemd-pstore.service \
        sys-kernel-debug.mount sys-kernel-tracing.mount sys-kernel-config.mount \
        sys-fs-fuse-connections.mount dev-hugepages.mount proc-sys-fs-binfmt_misc.automount \
        systemd-ask-password-console.path systemd-ask-password-wall.path \
        systemd-journald-audit.socket systemd-initctl.socket'
)
debian_root=0
worked=0

die() {
    echo "prepare.sh: $*" >&2
    exit 1
}
log() {
    echo "prepare.sh: $*" >&2
    worked=1
}

# Sets what differs between the architectures.
choose_arch() {
    if [ "${1:-}" = --debian-root ]; then
        debian_root=1
        shift
    fi
    arch=${1:-$(dpkg --print-architecture)}
    case "$arch" in
    amd64)
        image_package=linux-image-amd64 suffix='' make_args=() cache_dir=$cache
        host_packages+=(qemu-system-x86 gcc-12)
        module_groups+=("vfb vfb" "root virtio_blk squashfs overlay")
        ;;
    armhf)
        image_package=linux-image-armmp:armhf suffix=:armhf cache_dir=$cache/armhf
        make_args=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-)
        host_packages+=(qemu-system-arm gcc-12-arm-linux-gnueabihf device-tree-compiler)
        # vexpress-a9 has its virtio devices on virtio-mmio.
        module_groups[0]+=" virtio_mmio"
        ;;
    arm64)
        image_package=linux-image-arm64:arm64 suffix=:arm64 cache_dir=$cache/arm64
        make_args=(ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-)
        host_packages+=(qemu-system-arm gcc-12-aarch64-linux-gnu)
        ;;
    *) die "no VM for the architecture '$arch' (amd64, armhf or arm64)" ;;
    esac
    [ "$debian_root" = 0 ] && return
    [ "$arch" = amd64 ] || die "the Debian root is made for amd64 only"
    # mmdebstrap makes the root and mksquashfs its disk image; the cases that
    # boot it build our packages with cpack, whose dpkg-shlibdeps and file
    # these bring.
    host_packages+=(mmdebstrap squashfs-tools dpkg-dev file)
}

install_missing_host_packages() {
    local missing=() p
    for p in "${host_packages[@]}"; do
        [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = 'install ok installed' ] || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    if [ "$(id -u)" -ne 0 ]; then
        echo "prepare.sh: missing packages ${missing[*]}; run as root or install them" >&2
        exit 77
    fi
    bash "$here/../../tools/ensure_packages.sh" "${missing[@]}" || die "installing ${missing[*]} failed"
}

depends_on() {
    apt-cache depends "$1" 2>/dev/null | awk -v want="$2" '$1 == "Depends:" && $2 ~ want {print $2; exit}'
}

# The versioned image package (with its architecture) the flavour points at.
# apt-cache takes seconds here, so the answer is kept until the package lists
# change.
kernel_package() {
    local pkg known=$cache_dir/kernel-package
    if [ -s "$known" ] && [ "$known" -nt /var/lib/apt/lists ]; then
        cat "$known"
        return
    fi
    pkg=$(depends_on "$image_package" '^linux-image-[0-9]')
    if [ -z "$pkg" ]; then
        apt-get -o DPkg::Lock::Timeout=300 update -qq || die "apt-get update failed"
        pkg=$(depends_on "$image_package" '^linux-image-[0-9]')
    fi
    [ -n "$pkg" ] || die "apt-cache depends $image_package names no kernel"
    echo "$pkg" >"$known"
    echo "$pkg"
}

download_and_unpack() {
    local dir=$1
    shift
    mkdir -p "$dir/debs" "$dir/root"
    (cd "$dir/debs" && apt-get -o APT::Sandbox::User=root download -q "$@" >/dev/null) ||
        die "apt-get download $* failed"
    local deb
    for deb in "$dir"/debs/*.deb; do
        dpkg -x "$deb" "$dir/root" || die "dpkg -x $deb failed"
    done
    rm -rf "$dir/debs"
}

# The kernel, its headers, the build tools for this machine (linux-kbuild),
# v4l2loopback's source and, for another architecture, its busybox.
fetch_sources() {
    local dir=$1 kver=$2
    [ -f "$dir/unpacked.stamp" ] && return
    local kbuild extra=()
    kbuild=$(depends_on "linux-headers-$kver$suffix" '^linux-kbuild-')
    [ -n "$kbuild" ] || die "no linux-kbuild package found for linux-headers-$kver"
    [ -n "$suffix" ] && extra=("busybox-static$suffix")
    log "downloading kernel $kver, its headers and v4l2loopback-dkms"
    rm -rf "$dir/debs" "$dir/root"
    download_and_unpack "$dir" "linux-image-$kver$suffix" "linux-headers-$kver$suffix" \
        "linux-headers-${kver%-*}-common" "${kbuild%:*}" v4l2loopback-dkms "${extra[@]}"
    # The headers' Makefile includes the common half by its installed path.
    sed -i "s|^include /usr/src/|include $dir/root/usr/src/|" \
        "$dir/root/usr/src/linux-headers-$kver/Makefile" || die "sed on the headers' Makefile failed"
    touch "$dir/unpacked.stamp"
}

# v4l2loopback stamps each frame on CLOCK_MONOTONIC (ktime_get_ts64) as it
# is written, but leaves the buffers' timestamp flags at "unknown": built from
# a copy whose buffers say the clock they are stamped on, as a camera's do, so
# that frames can be timed from capture to screen.
loopback_ko=v4l2loopback-monotonic.ko
build_v4l2loopback() {
    local dir=$1 kver=$2
    [ -f "$dir/$loopback_ko" ] && return
    local sources=("$dir"/root/usr/src/v4l2loopback-*)
    local src=${sources[0]} hdr=$dir/root/usr/src/linux-headers-$kver build=$dir/v4l2loopback-build
    [ -d "$src" ] || die "v4l2loopback source missing under $dir/root/usr/src"
    rm -rf "$build"
    cp -r "$src" "$build" || die "cp -r $src $build failed"
    grep -q 'b->flags = 0;' "$build/v4l2loopback.c" || die "no buffer flags to set in $src"
    sed -i 's/b->flags = 0;/b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;/' "$build/v4l2loopback.c"
    log "building v4l2loopback against $hdr"
    make -s -C "$hdr" M="$build" "${make_args[@]}" -j"$(nproc)" modules \
        >"$dir/v4l2loopback-build.log" 2>&1 ||
        die "make v4l2loopback failed, see $dir/v4l2loopback-build.log"
    cp "$build/v4l2loopback.ko" "$dir/$loopback_ko"
}

# dummy_hcd.c of the kernel's own source, for the version the image package
# has: only that file is taken from linux-source's tarball, once for all
# architectures (the same version's source serves each).
dummy_hcd_source() {
    local kver=$1 version src series
    series=$(cut -d. -f1,2 <<<"$kver")
    version=$(apt-cache show --no-all-versions "linux-image-$kver$suffix" 2>/dev/null |
        awk '$1 == "Version:" {print $2; exit}')
    [ -n "$version" ] || die "apt-cache show linux-image-$kver$suffix names no version"
    src=$cache/linux-source-$version/dummy_hcd.c
    if [ ! -f "$src" ]; then
        local tmp=$cache/linux-source-$version.tmp.$$
        log "downloading linux-source-$series $version for dummy_hcd.c"
        mkdir -p "$tmp" "${src%/*}"
        (cd "$tmp" && apt-get -o APT::Sandbox::User=root download -q "linux-source-$series=$version" >/dev/null) ||
            die "apt-get download linux-source-$series=$version failed"
        dpkg-deb --fsys-tarfile "$tmp"/linux-source-*.deb | tar -xO --wildcards './usr/src/linux-source-*.tar.xz' |
            tar -xJ -C "$tmp" --wildcards '*/drivers/usb/gadget/udc/dummy_hcd.c' ||
            die "dummy_hcd.c not found in linux-source $version"
        mv "$tmp"/linux-source-*/drivers/usb/gadget/udc/dummy_hcd.c "$src"
        rm -rf "$tmp"
    fi
    echo "$src"
}

# Named after the patch, so that a changed one is built anew.
dummy_hcd_ko() {
    echo "dummy_hcd-iso-$(sha256sum <"$here/dummy_hcd_iso.patch" | cut -c1-12).ko"
}

build_dummy_hcd() {
    local dir=$1 kver=$2
    local ko src build=$dir/dummy_hcd-build hdr=$dir/root/usr/src/linux-headers-$kver
    ko=$(dummy_hcd_ko)
    [ -f "$dir/$ko" ] && return
    src=$(dummy_hcd_source "$kver")
    rm -rf "$build"
    mkdir -p "$build"
    cp "$src" "$build/dummy_hcd.c"
    patch -s "$build/dummy_hcd.c" <"$here/dummy_hcd_iso.patch" >"$dir/dummy_hcd-build.log" 2>&1 ||
        die "dummy_hcd_iso.patch does not apply to $src, see $dir/dummy_hcd-build.log"
    echo 'obj-m := dummy_hcd.o' >"$build/Kbuild"
    log "building dummy_hcd with isochronous endpoints against $hdr"
    make -s -C "$hdr" M="$build" "${make_args[@]}" -j"$(nproc)" modules \
        >>"$dir/dummy_hcd-build.log" 2>&1 ||
        die "make dummy_hcd failed, see $dir/dummy_hcd-build.log"
    cp "$build/dummy_hcd.ko" "$dir/$ko"
}

# Writes the insmod order for the given modules, one .ko path per line,
# leaving out those built into the kernel.
module_order() {
    local dir=$1 kver=$2
    shift 2
    local m
    for m in "$@"; do
        modprobe -d "$dir/root" -S "$kver" --show-depends "$m" ||
            die "modprobe --show-depends $m failed"
    done | awk '$1 == "insmod" {print $2}' | awk '!seen[$0]++'
}

# v4l2loopback and our dummy_hcd join the kernel's own modules where dkms
# would put them: depmod's default search order (updates before the rest)
# has modprobe take them over the stock ones, in the Debian root too.
index_modules() {
    local dir=$1 kver=$2
    local updates=$dir/root/lib/modules/$kver/updates dummy_hcd
    dummy_hcd=$(dummy_hcd_ko)
    cmp -s "$dir/$loopback_ko" "$updates/v4l2loopback.ko" &&
        cmp -s "$dir/$dummy_hcd" "$updates/dummy_hcd.ko" &&
        [ -f "$dir/root/lib/modules/$kver/modules.dep" ] && return
    mkdir -p "$updates"
    cp "$dir/$loopback_ko" "$updates/v4l2loopback.ko" || die "cp $loopback_ko to $updates failed"
    cp "$dir/$dummy_hcd" "$updates/dummy_hcd.ko" || die "cp $dummy_hcd to $updates failed"
    depmod -b "$dir/root" "$kver" || die "depmod -b $dir/root $kver failed"
    modprobe -d "$dir/root" -S "$kver" --show-depends dummy_hcd | grep -q "/updates/dummy_hcd.ko" ||
        die "modprobe would not load our dummy_hcd from $updates"
}

copy_modules() {
    local dir=$1 kver=$2 stage=$3 group=$4
    shift 4
    local order ko
    order=$(module_order "$dir" "$kver" "$@") || die "no module order for $*"
    : >"$stage/modules/$group.list"
    for ko in $order; do
        ko=${ko#"$dir/root"}
        cp "$dir/root$ko" "$stage/modules/"
        basename "$ko" >>"$stage/modules/$group.list"
    done
}

busybox_binary() {
    if [ -n "$suffix" ]; then echo "$1/root/bin/busybox"; else echo /bin/busybox; fi
}

# The initramfs's name carries a hash of what went in, so worktrees with
# different inits share the cache; those unused for a week are removed.
initramfs_path() {
    echo "$1/initrd-$(cat "$here/init.sh" "$0" "$here/dummy_hcd_iso.patch" | sha256sum | cut -c1-16).cpio.gz"
}

build_initramfs() {
    local dir=$1 kver=$2
    local initrd group
    initrd=$(initramfs_path "$dir")
    find "$dir" -maxdepth 1 -name 'initrd-*.cpio.gz' -mtime +7 -delete
    [ -f "$initrd" ] && {
        touch "$initrd"
        return
    }
    log "building initramfs"
    local stage=$dir/initramfs.stage
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,dev,proc,sys,host,out,modules}
    cp "$(busybox_binary "$dir")" "$stage/bin/busybox"
    cp "$here/init.sh" "$stage/init"
    chmod 755 "$stage/init"
    for group in "${module_groups[@]}"; do
        # shellcheck disable=SC2086  # the group's words are the arguments
        copy_modules "$dir" "$kver" "$stage" $group
    done
    (cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd.tmp" ||
        die "cpio of $stage failed"
    mv "$initrd.tmp" "$initrd"
    rm -rf "$stage"
}

# The x86 kernel boots as the ELF vmlinux through its PVH entry, as
# decompressing the bzImage under TCG would cost seconds on every boot. ARM
# kernels boot as shipped (an arm64 Image is unpacked by QEMU, a 32-bit zImage
# unpacks itself).
kernel_path() {
    if [ "$arch" = amd64 ]; then echo "$1/vmlinux"; else echo "$1/root/boot/vmlinuz-$2"; fi
}

extract_kernel() {
    local dir=$1 kver=$2
    [ -f "$(kernel_path "$dir" "$kver")" ] && return
    local image=$dir/root/boot/vmlinuz-$kver offset
    offset=$(LC_ALL=C grep -obUaP '\xfd\x37\x7a\x58\x5a\x00' "$image" | awk -F: 'NR == 1 {print $1}')
    [ -n "$offset" ] || die "no xz stream found in $image"
    xz -dc --single-stream <(tail -c +$((offset + 1)) "$image") >"$dir/vmlinux.tmp" ||
        die "xz -dc of $image failed"
    mv "$dir/vmlinux.tmp" "$dir/vmlinux"
}

# The root is a read-only disk image (squashfs, uncompressed, so that reading
# it costs the emulated CPU little), which the VM reads much faster than files
# over 9p. Its name carries a hash of what goes into it; images unused for a
# month are removed.
debian_root_path() {
    local key
    key=$( (
        echo "bookworm $arch $root_packages"
        printf '%s\n' "${root_hooks[@]}"
    ) | sha256sum | cut -c1-16)
    echo "$cache_dir/debian-root-$key.img"
}

build_debian_root() {
    local image tree
    image=$(debian_root_path)
    tree=${image%.img}.tree
    find "$cache_dir" -maxdepth 1 -name 'debian-root-*.img' -mtime +30 -delete
    if [ ! -f "$image" ]; then
        log "making the Debian root $image with mmdebstrap"
        local sources hooks=() hook
        mapfile -t sources < <(bash "$here/../../tools/mmdebstrap_sources.sh")
        for hook in "${root_hooks[@]}"; do hooks+=("--customize-hook=$hook"); done
        rm -rf --one-file-system "$tree"
        mmdebstrap --mode=root --variant=apt --include="$root_packages" "${hooks[@]}" \
            bookworm "$tree" "${sources[@]}" >"${image%.img}.log" 2>&1 ||
            die "mmdebstrap failed: $(grep -E '^(E|W):' "${image%.img}.log" | tail -n 1); see ${image%.img}.log"
        mksquashfs "$tree" "$image.tmp" -noappend -noI -noD -noF -noX -quiet -no-progress ||
            die "mksquashfs $tree failed"
        rm -rf --one-file-system "$tree"
        mv "$image.tmp" "$image"
    fi
    touch "$image"
}

# QEMU's vexpress-a9 (Cortex-A9) with an LCD controller as a board has one:
# the package's device tree for it, with an 800x480 panel on the CLCD
# (lcd_panel.awk), once at 32 bits per pixel and once at 16.
build_lcd_device_trees() {
    local dir=$1 kver=$2
    local boot=$dir/root/boot stock=$dir/root/usr/lib/linux-image-$kver/vexpress-v2p-ca9.dtb
    [ "$boot/vexpress-lcd-16.dtb" -nt "$here/lcd_panel.awk" ] && return
    local tree=$dir/vexpress-v2p-ca9.dts depth bandwidth
    dtc -q -I dtb -O dts -o "$tree" "$stock" || die "dtc could not read $stock"
    for depth in 32 16; do
        bandwidth=
        [ "$depth" = 16 ] || bandwidth=0x10000000
        awk -v bandwidth="$bandwidth" -f "$here/lcd_panel.awk" "$tree" "$tree" >"$tree.$depth" ||
            die "no panel wired into $stock"
        dtc -q -I dts -O dtb -o "$boot/vexpress-lcd-$depth.dtb" "$tree.$depth" ||
            die "dtc could not make the $depth-bit LCD device tree"
    done
    rm -f "$tree" "$tree".*
}

# Parallel test runs share the cache; the first one fills it.
lock_cache() {
    mkdir -p "$cache_dir" || die "mkdir $cache_dir failed"
    exec 9>"$cache_dir/.lock"
    flock 9 || die "flock $cache_dir/.lock failed"
}

main() {
    local start=$SECONDS
    choose_arch "$@"
    lock_cache
    install_missing_host_packages
    local pkg kver dir
    pkg=$(kernel_package)
    kver=${pkg#linux-image-}
    kver=${kver%:*}
    dir=$cache_dir/$kver
    mkdir -p "$dir"
    fetch_sources "$dir" "$kver"
    build_v4l2loopback "$dir" "$kver"
    build_dummy_hcd "$dir" "$kver"
    index_modules "$dir" "$kver"
    build_initramfs "$dir" "$kver"
    extract_kernel "$dir" "$kver"
    [ "$arch" != armhf ] || build_lcd_device_trees "$dir" "$kver"
    [ "$debian_root" = 0 ] || build_debian_root
    [ "$worked" = 0 ] || echo "prepare.sh: the $arch VM cache took $((SECONDS - start)) s to prepare" >&2
    kernel_path "$dir" "$kver"
    initramfs_path "$dir"
    [ "$debian_root" = 0 ] && return
    debian_root_path
    echo "$dir/root"
}

main "$@"
