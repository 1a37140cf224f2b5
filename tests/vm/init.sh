#!/bin/busybox sh
# shellcheck shell=dash
# PID 1 of the test VM (busybox sh: the initramfs has no bash). Mounts the
# host's root read-only (tag "hostroot") and the job folder read-write (tag
# "out"), loads the framebuffer and camera drivers the job asks for, runs the
# job's command chrooted into the host root, saves /dev/fb0, then stops the
# machine by an emergency restart: unlike a power-off or a reboot it shuts no
# device down, so QEMU's display keeps the last picture for the host to take
# (QEMU pauses at the restart). In a VM of another architecture than the
# host's, the VM's busybox stands in for the host's /usr/bin, and the
# programs under test run with the host's libraries of their architecture.
#
# With a Debian root in job.env (ROOT, its read-only disk, and MODULES, the
# host's folder holding the kernel's lib/modules) the VM boots that root
# instead, with systemd as PID 1: under a tmpfs for its writes, with the
# host's root at /host, the out folder at /out and at its own path, and the
# kernel's modules at /lib/modules. The setup script (SETUP) runs in it
# first, chrooted; the feeder runs as a unit there, started at boot when the
# camera is there at boot. A USB camera's modules load at boot there, but
# uvcvideo, which udev loads when the feeder plugs the camera in, and udev
# makes /dev/video7 by the rule the setup script installs. Once the system
# is up, a unit runs this script again as "init.sh job", which runs the job
# in the root and stops the machine as above; "init.sh feeder" starts the
# feeder.
set -euo pipefail
if [ $$ = 1 ]; then
    /bin/busybox --install -s /bin
    export PATH=/bin
fi

fail() {
    echo "vm-init: $*" >&2
    echo "$*" >>/out/vm-error 2>/dev/null || true
    finish
}

finish() {
    uptime_note end
    sync
    echo b >/proc/sysrq-trigger
    sleep 10
}

# Guest time since boot, for the run's summary.
uptime_note() {
    echo "$1 $(cut -d ' ' -f 1 /proc/uptime)" >>/out/uptime 2>/dev/null || true
}

# insmod every module of a group in dependency order, but those another group
# loaded already; extra arguments go to the group's last module.
load_group() {
    local group=$1
    shift
    local last ko
    last=$(tail -n 1 "/modules/$group.list")
    while read -r ko; do
        if [ -d "/sys/module/$(basename "$ko" .ko | tr - _)" ]; then
            continue
        elif [ "$ko" = "$last" ]; then
            insmod "/modules/$ko" "$@" || fail "insmod $ko $* failed"
        else
            insmod "/modules/$ko" || fail "insmod $ko failed"
        fi
    done <"/modules/$group.list"
}

wait_for() {
    local path=$1 tries=100
    while [ ! -e "$path" ] && [ "$tries" -gt 0 ]; do
        sleep 0.05
        tries=$((tries - 1))
    done
    [ -e "$path" ] || fail "$path did not appear"
}

mount_basics() {
    mount -t proc proc /proc
    mount -t sysfs sys /sys
    mount -t devtmpfs dev /dev
}

mount_shares() {
    load_group base
    if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out /out; then
        echo "vm-init: mount of the out share failed" >&2
        finish
    fi
    uptime_note init
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,ro hostroot /host ||
        fail "mount -t 9p hostroot /host failed"
}

# Every driver ends up at 32 bits per pixel, vfb at 800x480, the others at the
# mode the kernel's command line asks for; but the LCD controller's (built
# into the kernel) is at its panel's 800x480 and the depth its device tree
# allows, 16 bits for clcd16. The text console is unbound so it
# never draws over what the job shows, but on a board-like machine and in a
# Debian root, which keep it as a board does. A "-drm" driver comes with the
# kernel's fbdev emulation off: /dev/dri/card0 and no /dev/fb0; an
# "-overalloc" one with memory for two screens to pan over.
load_framebuffer() {
    case "$FB" in
    vfb) load_group vfb vfb_enable=1 videomemorysize=1536000 mode_option=800x480M-32 ;;
    bochs) load_group bochs ;;
    virtio-gpu) load_group virtio_gpu ;;
    clcd | clcd16) ;;
    bochs-overalloc | virtio-gpu-overalloc)
        load_group kms_helper drm_fbdev_overalloc=200
        load_group "$(echo "${FB%-overalloc}" | tr - _)"
        ;;
    bochs-drm | virtio-gpu-drm)
        load_group kms_helper fbdev_emulation=0
        load_group "$(echo "${FB%-drm}" | tr - _)"
        wait_for /dev/dri/card0
        return
        ;;
    none) return ;;
    *) fail "unknown framebuffer driver '$FB'" ;;
    esac
    wait_for /dev/fb0
    if [ "$BOARD" = 1 ] || [ -n "$ROOT" ]; then
        return 0
    fi
    local vt
    for vt in /sys/class/vtconsole/vtcon*; do
        if grep -q 'frame buffer' "$vt/name"; then
            echo 0 >"$vt/bind"
        fi
    done
    # Clears what the console drew before it let go.
    dd if=/dev/zero of=/dev/fb0 bs="$(cat /sys/class/graphics/fb0/stride)" count=480 2>/dev/null
}

# A board's login prompt on the console.
start_getty() {
    [ "$BOARD" = 1 ] || return 0
    getty 0 tty1 </dev/null >/dev/null 2>&1 &
}

# Up to 8 buffers, as a camera grants (the driver's default is 2).
CAMERA_OPTIONS="exclusive_caps=1 video_nr=7 card_label=vm-camera max_buffers=8"

load_camera() {
    [ "$CAMERA" = 1 ] || return 0
    # shellcheck disable=SC2086  # the options are words
    load_group camera $CAMERA_OPTIONS
    wait_for /dev/video7
}

# A USB camera's capture node is /dev/video7 by the rule a board's udev has
# (docs/udev/70-usb-camera-video7.rules; uvcvideo's capture node is its index
# 0), here mdev's, listening to the kernel's events as udevd does: the link
# goes when the camera is unplugged and comes back when it is plugged in again.
start_device_manager() {
    mkdir -p /etc
    cat >/etc/video7.sh <<'EOF'
case "$ACTION" in
add)
    [ "$(cat "/sys$DEVPATH/index")" = 0 ] &&
        [ "$(basename "$(readlink "/sys$DEVPATH/device/driver")")" = uvcvideo ] &&
        ln -sfn "$MDEV" /dev/video7
    ;;
remove) [ "$(readlink /dev/video7)" != "$MDEV" ] || rm -f /dev/video7 ;;
esac
EOF
    echo 'video[0-9]+ 0:0 660 */bin/sh /etc/video7.sh' >/etc/mdev.conf
    mdev -d || fail "mdev -d failed"
}

# The UVC gadget's modules, then uvcvideo with the job's options; the feeder
# makes the gadget and plugs it in.
load_usb_camera() {
    [ "$USB_CAMERA" = 1 ] || return 0
    uptime_note usb_modules
    start_device_manager
    # shellcheck disable=SC2086  # the options are words
    load_group usb_camera $UVC_OPTIONS
}

enter_host_root() {
    local d
    for d in dev proc sys; do
        mount --bind "/$d" "/host/$d" || fail "mount --bind /$d /host/$d failed"
    done
    mount --bind /out "/host$OUT_PATH" || fail "mount --bind /out /host$OUT_PATH failed"
    [ "$FOREIGN" = 1 ] || return 0
    mount --bind /bin /host/usr/bin || fail "mount --bind /bin /host/usr/bin failed"
    if [ ! -L /host/bin ]; then
        mount --bind /bin /host/bin || fail "mount --bind /bin /host/bin failed"
    fi
}

in_host() {
    local path=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
    [ "$FOREIGN" = 1 ] && path=/usr/bin
    chroot /host /usr/bin/env -i PATH="$path" HOME=/root LCDVM_OUT="$OUT_PATH" LCDVM_FB="$FB" "$@"
}

# Starts the feeder and waits until it has written its first frame, so the
# capture side of the loopback device is there before the job opens it; or
# with the USB camera until uvcvideo's node is /dev/video7.
start_feeder() {
    [ -n "$FEEDER" ] || return 0
    in_host sh "$FEEDER" >/out/feeder.log 2>&1 &
    local pid=$! tries=200 ready='^\(frame\|held\) '
    [ "$USB_CAMERA" = 1 ] && ready='^ready '
    while ! grep -qs "$ready" /out/feeder.log && kill -0 "$pid" 2>/dev/null &&
        [ "$tries" -gt 0 ]; do
        sleep 0.05
        tries=$((tries - 1))
    done
    grep -q "$ready" /out/feeder.log || fail "feeder is not ready: $(cat /out/feeder.log)"
    [ "$USB_CAMERA" = 1 ] || return 0
    tries=400
    while [ ! -e /dev/video7 ] && [ "$tries" -gt 0 ]; do
        sleep 0.05
        tries=$((tries - 1))
    done
    [ -e /dev/video7 ] || fail "no uvcvideo node became /dev/video7: $(dmesg | grep -i -e uvc -e usb | tail -n 5)"
    uptime_note usb_camera
}

# A unit of the Debian root that runs this script with an argument.
write_unit() {
    local name=$1 description=$2 type=$3 argument=$4
    shift 4
    {
        echo "[Unit]"
        echo "Description=$description"
        printf '%s\n' "$@"
        echo "[Service]"
        echo "Type=$type"
        echo "ExecStart=/lcdvm/busybox sh /lcdvm/init $argument"
        echo "StandardOutput=journal+console"
    } >"/newroot/etc/systemd/system/$name"
}

# The units that run the job once the system is up and, before any service,
# the feeder; the cameras' module options, the modules of the USB camera's
# bus and gadget, and v4l2loopback when the camera is there at boot.
add_units() {
    local wants=/newroot/etc/systemd/system/multi-user.target.wants
    write_unit lcdvm-job.service "Test VM job" exec job After=multi-user.target
    mkdir -p "$wants" /newroot/etc/modprobe.d /newroot/etc/modules-load.d
    ln -s ../lcdvm-job.service "$wants/"
    echo "options v4l2loopback $CAMERA_OPTIONS" >/newroot/etc/modprobe.d/lcdvm-camera.conf
    if [ "$USB_CAMERA" = 1 ]; then
        [ -z "$UVC_OPTIONS" ] || echo "options uvcvideo $UVC_OPTIONS" >/newroot/etc/modprobe.d/lcdvm-usb-camera.conf
        printf '%s\n' dummy_hcd usb_f_uvc >/newroot/etc/modules-load.d/lcdvm-usb-camera.conf
    fi
    [ -n "$FEEDER" ] && write_unit lcdvm-feeder.service "Test VM camera feeder" forking feeder \
        DefaultDependencies=no After=systemd-modules-load.service Before=sysinit.target
    [ "$CAMERA" = 1 ] || return 0
    echo v4l2loopback >/newroot/etc/modules-load.d/lcdvm-camera.conf
    [ -z "$FEEDER" ] && return
    mkdir -p /newroot/etc/systemd/system/sysinit.target.wants
    ln -s ../lcdvm-feeder.service /newroot/etc/systemd/system/sysinit.target.wants/
}

# Never returns: systemd takes over as PID 1.
boot_debian_root() {
    load_group root
    wait_for "$ROOT"
    mkdir -p /lower /rw /newroot
    mount -t squashfs -o ro "$ROOT" /lower || fail "mount -t squashfs $ROOT /lower failed"
    mount -t tmpfs -o mode=755 rw /rw || fail "mount -t tmpfs /rw failed"
    mkdir /rw/upper /rw/work
    mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work root /newroot ||
        fail "mount -t overlay /newroot failed"
    enter_host_root
    local kver
    kver=$(uname -r)
    mkdir -p /newroot/host /newroot/out "/newroot$OUT_PATH" "/newroot/lib/modules/$kver" /newroot/lcdvm
    mount --rbind /host /newroot/host || fail "mount --rbind /host /newroot/host failed"
    mount --bind /out /newroot/out || fail "mount --bind /out /newroot/out failed"
    mount --bind /out "/newroot$OUT_PATH" || fail "mount --bind /out /newroot$OUT_PATH failed"
    mount --bind "/host$MODULES/lib/modules/$kver" "/newroot/lib/modules/$kver" ||
        fail "mount --bind of the modules $MODULES/lib/modules/$kver failed"
    cp /bin/busybox /init /newroot/lcdvm/
    add_units
    local d
    for d in dev proc sys; do
        mount --bind "/$d" "/newroot/$d" || fail "mount --bind /$d /newroot/$d failed"
    done
    if [ -n "$SETUP" ]; then
        chroot /newroot /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
            /bin/sh "/host$SETUP" >/out/setup.log 2>&1 ||
            fail "the setup script failed: $(tail -n 3 /out/setup.log)"
    fi
    uptime_note systemd
    exec switch_root /newroot /lib/systemd/systemd
}

save_screen() {
    [ -e /dev/fb0 ] || return 0
    cat /dev/fb0 >/out/fb0.raw
    local a
    for a in name virtual_size bits_per_pixel stride; do
        echo "$a=$(cat /sys/class/graphics/fb0/$a)"
    done >/out/fb0.info
}

# The job has ended: its screen kept, its end noted, the machine stopped.
end_job() {
    save_screen
    echo finished >/out/vm-done
    finish
}

# In the Debian root, as a unit's program.
run_in_root() {
    case "$1" in
    feeder) start_feeder ;;
    job)
        uptime_note job
        # By path: busybox would run its own applets for bare names.
        /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LCDVM_OUT="$OUT_PATH" \
            LCDVM_FB="$FB" /bin/sh "$OUT_PATH/job.sh" || true
        end_job
        ;;
    *) fail "init.sh: unknown argument '$1'" ;;
    esac
}

FB=none CAMERA=0 USB_CAMERA=0 UVC_OPTIONS='' BOARD=0 FEEDER='' FOREIGN=0 OUT_PATH=/ ROOT='' MODULES='' SETUP=''
if [ $$ != 1 ]; then
    # shellcheck source=/dev/null
    . /out/job.env
    run_in_root "$1"
    exit 0
fi
mount_basics
mount_shares
[ -f /out/job.env ] || fail "/out/job.env missing"
# shellcheck source=/dev/null
. /out/job.env
load_framebuffer
[ -z "$ROOT" ] || boot_debian_root
start_getty
load_camera
load_usb_camera
enter_host_root
start_feeder
uptime_note job
in_host sh "$OUT_PATH/job.sh" || true
end_job
