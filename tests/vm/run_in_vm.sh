#!/usr/bin/env bash
# Boots a throwaway test VM (QEMU/TCG, Debian's kernel for the architecture,
# prepare.sh's initramfs), runs one command inside it chrooted into this
# machine's root (read-only), or with --systemd in prepare.sh's Debian root
# booted with systemd (this machine's root at /host there), and leaves in the
# out folder:
#   stdout stderr status times   the command's output, exit status, CPU times
#   fb0.raw fb0.info             /dev/fb0's bytes and geometry afterwards
#   screen.ppm screen.png        what QEMU's display showed at the end
#   NAME.ppm                     what it showed when the command ran
#                                sh "$LCDVM_OUT/screendump" NAME in the VM
#   console.log feeder.log       kernel console and feeder output (the
#                                UVC gadget's with --usb-camera)
#   setup.log                    the --setup script's output
#   uptime                       guest clock at init, (at systemd's start,) at
#                                the job's start, at the end
# The out folder is writable inside the VM at the same path, and LCDVM_OUT
# names it there. A command may stop the machine itself, to show the display
# as it was at that instant (vm_screen draw ... stop); it creates
# $LCDVM_OUT/vm-stopping first. Exits with the command's status (0 for a
# command that stopped the machine), or 125 if the VM failed.
# Environment: LCDVM_CACHE (see prepare.sh), LCDVM_FEEDER (default --feeder),
# LCDVM_UVC_FEEDER (default --uvc-feeder),
# LCDVM_ARCH (default --arch), LCDVM_QUIET= (empty) to keep the kernel's boot
# messages in console.log.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
arch=${LCDVM_ARCH:-$(dpkg --print-architecture)}
fb=
board=0
camera=0
fps=10
size=800x480
systemd=0
setup=
late_camera=0
feeder=${LCDVM_FEEDER:-}
usb_camera=0
uvc_feeder=${LCDVM_UVC_FEEDER:-}
uvc_args=()
uvc_options=
frames=()
hold=0
out=
cmd_timeout=60
command=()
qemu=()
display=()
virtio_transport=pci # or device: virtio-mmio
ctl=

usage() {
    cat >&2 <<EOF
usage: run_in_vm.sh --out DIR [--arch amd64|armhf|arm64]
                    [--fb vfb|bochs|virtio-gpu|bochs-drm|virtio-gpu-drm|bochs-overalloc|
                          virtio-gpu-overalloc|clcd|clcd16|none] [--size WxH] [--board]
                    [--camera] [--systemd [--setup SCRIPT] [--late-camera]]
                    [--feeder PROGRAM --fps N [--hold] --frame FILE... [--fps N --frame FILE...]]
                    [--usb-camera --uvc-feeder PROGRAM [--camera-size WxH]... [--camera-interval N,...]
                     [--camera-default N] [--camera-max-frame BYTES] [--repeat] [--uvc-nodrop]
                     [--fps N] [--hold] --frame FILE...]
                    [--timeout SECONDS] -- COMMAND [ARG...]
  --arch        the VM's architecture; its programs come from a build for it
  --fb          the framebuffer driver (default bochs on amd64, virtio-gpu on ARM;
                vfb has no display to take pictures of and exists on amd64 only;
                bochs-drm and virtio-gpu-drm: /dev/dri/card0 without /dev/fb0;
                -overalloc: /dev/fb0 with two screens of memory to pan over;
                clcd and clcd16, armhf only: a Cortex-A9 machine, vexpress-a9,
                whose LCD controller (PL111) drives an 800x480 panel at 32 or
                16 bits per pixel through its own framebuffer driver)
  --board       as a board has it: the text console stays on /dev/fb0 (console=tty0
                beside the serial line, its cursor on, consoleblank=2), a getty on tty1
  --size        the display's mode for bochs and virtio-gpu (default 800x480)
  --camera      load v4l2loopback as /dev/video7 (implied by --frame)
  --systemd     boot the Debian root with systemd; the command runs there as
                root from a unit once the system is up
  --setup SCRIPT  run by sh in the Debian root, chrooted, before systemd
                starts (e.g. dpkg -i /host/PATH.deb)
  --late-camera the camera is not there at boot: the command loads it
                (modprobe v4l2loopback) and starts the feeder (systemctl start
                lcdvm-feeder); a USB camera's modules are loaded at boot
                (uvcvideo by udev, when the camera comes), and starting the
                feeder plugs it in
  --frame FILE  a frame for the feeder to write, in order; repeat the option
  --fps N       frames a second; given after a --frame, from the next on
  --hold        the feeder repeats the first frame until the command creates
                \$LCDVM_OUT/feeder.go, then writes the others
  --usb-camera  instead of v4l2loopback, a USB camera on dummy_hcd's emulated bus:
                the UVC gadget (uvc_feeder, --uvc-feeder) sends the frames, one
                per frame interval the host chose, from the first at each
                stream start; uvcvideo's capture node is /dev/video7 (a link,
                by an mdev rule as a board's udev has; with --systemd, which
                needs --late-camera, by the Debian root's udev and the rule
                the --setup script installs). The command unplugs and plugs it
                back with sh "\$LCDVM_OUT/usb" unplug|plug
  --camera-size WxH  an MJPEG frame size the camera offers; repeat the option
                (default 640x480)
  --camera-interval N,...  the frame intervals it offers, in 100 ns units
                (default 10000000 / --fps)
  --camera-default N  the default interval (default the first)
  --camera-max-frame BYTES  the dwMaxVideoFrameSize it announces (default
                width x height x 2); larger frames are sent whole all the same
  --repeat      the camera sends the last frame again and again after the others
  --uvc-nodrop  uvcvideo's nodrop=1: frames it finds broken are handed over
                flagged as errors instead of dropped
EOF
    exit 2
}

die() {
    echo "run_in_vm.sh: $*" >&2
    exit 125
}

# Each option with a value takes two words, --camera and --hold one.
parse_args() {
    local words
    while [ $# -gt 0 ]; do
        words=2
        case "$1" in
        --out) out=$2 ;;
        --arch) arch=$2 ;;
        --fb) fb=$2 ;;
        --size) size=$2 ;;
        --camera) camera=1 words=1 ;;
        --board) board=1 words=1 ;;
        --systemd) systemd=1 words=1 ;;
        --setup) setup=$(realpath "$2") ;;
        --late-camera) late_camera=1 words=1 ;;
        --feeder) feeder=$2 ;;
        --fps) if [ ${#frames[@]} -eq 0 ]; then fps=$2; else frames+=("@$2"); fi ;;
        --hold) hold=1 words=1 ;;
        --frame) frames+=("$(realpath "$2")") camera=1 ;;
        --timeout) cmd_timeout=$2 ;;
        --usb-camera) usb_camera=1 words=1 ;;
        --uvc-feeder) uvc_feeder=$2 ;;
        --camera-size) uvc_args+=(--size "$2") ;;
        --camera-interval) uvc_args+=(--interval "$2") ;;
        --camera-default) uvc_args+=(--default "$2") ;;
        --camera-max-frame) uvc_args+=(--max-frame "$2") ;;
        --repeat) uvc_args+=(--repeat) words=1 ;;
        --uvc-nodrop) uvc_options=nodrop=1 words=1 ;;
        --)
            shift
            command=("$@")
            return
            ;;
        *) usage ;;
        esac
        shift "$words"
    done
    usage
}

check_args() {
    [ -n "$out" ] || usage
    [ ${#command[@]} -gt 0 ] || usage
    if [ -z "$fb" ]; then
        if [ "$arch" = amd64 ]; then fb=bochs; else fb=virtio-gpu; fi
    fi
    case "$fb" in
    vfb | bochs | virtio-gpu | bochs-drm | virtio-gpu-drm | bochs-overalloc | virtio-gpu-overalloc | none) ;;
    clcd | clcd16) [ "$arch" = armhf ] || die "--fb $fb is an armhf machine's" ;;
    *) usage ;;
    esac
    [[ "$size" =~ ^[0-9]+x[0-9]+$ ]] || usage
    if [ "$usb_camera" = 1 ]; then
        [ ${#frames[@]} -gt 0 ] || die "--usb-camera needs --frame"
        [ "$systemd" = 0 ] || [ "$late_camera" = 1 ] || die "--usb-camera with --systemd needs --late-camera"
        [[ " ${frames[*]}" != *" @"* ]] || die "--usb-camera sends at the interval the host chose: no --fps after --frame"
        [[ " ${uvc_args[*]} " == *" --interval "* ]] || uvc_args+=(--interval $((10000000 / fps)))
        feeder=$uvc_feeder
        [ -x "$feeder" ] || die "feeder '$feeder' is not an executable (use --uvc-feeder)"
        feeder=$(realpath "$feeder")
    elif [ ${#frames[@]} -gt 0 ]; then
        [ -x "$feeder" ] || die "feeder '$feeder' is not an executable (use --feeder)"
        feeder=$(realpath "$feeder")
    fi
    mkdir -p "$out" || die "mkdir $out failed"
    out=$(realpath "$out")
    rm -f "$out"/{stdout,stderr,status,times,fb0.raw,fb0.info,console.log,uptime} \
        "$out"/{feeder.log,feeder.go,vm-done,vm-error,vm-stopping,job.env,job.sh,feeder.sh,setup.log} \
        "$out"/{screendump,usb,screen.ppm,screen.png} "$out"/*.dump-request
}

# The machine, its console and its display for each architecture.
choose_machine() {
    case "$arch" in
    amd64)
        qemu=(qemu-system-x86_64 -machine "pc,accel=tcg" -smp 2 -bios /usr/share/qemu/qboot.rom)
        console=ttyS0
        ;;
    armhf)
        qemu=(qemu-system-arm -machine "virt,highmem=off,accel=tcg" -cpu cortex-a15 -smp 1)
        console=ttyAMA0
        if [[ "$fb" == clcd* ]]; then
            # Its sound chip (PL041) gets a sound card that plays nowhere.
            qemu=(qemu-system-arm -machine "vexpress-a9,accel=tcg" -cpu cortex-a9 -smp 1
                -audiodev "none,id=silent" -global pl041.audiodev=silent)
            virtio_transport=device
        fi
        ;;
    arm64)
        qemu=(qemu-system-aarch64 -machine "virt,accel=tcg" -cpu cortex-a53 -smp 1)
        console=ttyAMA0
        ;;
    *) die "no VM for the architecture '$arch'" ;;
    esac
    local mode="xres=${size%x*},yres=${size#*x}"
    case "$fb" in
    bochs | bochs-drm | bochs-overalloc)
        if [ "$arch" = amd64 ]; then
            display=(-device "VGA,$mode")
        else
            display=(-device "bochs-display,$mode")
        fi
        ;;
    virtio-gpu | virtio-gpu-drm | virtio-gpu-overalloc) display=(-device "virtio-gpu-pci,$mode") ;;
    vfb) [ "$arch" = amd64 ] || die "the $arch kernel has no vfb" ;;
    esac
}

# The bits per pixel of the LCD controller's panel.
depth_of() { if [ "$1" = clcd16 ]; then echo 16; else echo 32; fi; }

# QEMU takes pictures of a display the machine has: none with vfb.
has_display() { [ ${#display[@]} -gt 0 ] || [[ "$fb" == clcd* ]]; }

write_job() {
    local quoted foreign=0
    quoted=$(printf '%q ' "${command[@]}")
    [ "$arch" = "$(dpkg --print-architecture)" ] || foreign=1
    {
        echo "FB=$fb"
        echo "CAMERA=$((camera && !late_camera && !usb_camera))"
        echo "USB_CAMERA=$usb_camera"
        echo "UVC_OPTIONS=$uvc_options"
        echo "BOARD=$board"
        echo "FOREIGN=$foreign"
        printf 'OUT_PATH=%q\n' "$out"
        [ "$systemd" = 1 ] && printf 'ROOT=/dev/vda\nMODULES=%q\nSETUP=%q\n' "$modules" "$setup"
        [ ${#frames[@]} -gt 0 ] && printf 'FEEDER=%q\n' "$out/feeder.sh"
    } >"$out/job.env"
    # Run by the VM's sh: dash on amd64, busybox on ARM.
    cat >"$out/job.sh" <<EOF
cd $(printf '%q' "$PWD") 2>/dev/null || cd /
timeout -k 2 $cmd_timeout $quoted >"\$LCDVM_OUT/stdout" 2>"\$LCDVM_OUT/stderr"
echo \$? >"\$LCDVM_OUT/status"
times >"\$LCDVM_OUT/times"
EOF
    cat >"$out/screendump" <<'EOF'
# sh "$LCDVM_OUT/screendump" NAME: has the host save what QEMU's display shows
# as $LCDVM_OUT/NAME.ppm, and waits for it.
request="$LCDVM_OUT/$1.dump-request"
: >"$request"
i=0
while [ -e "$request" ] && [ "$i" -lt 400 ]; do sleep 0.05; i=$((i + 1)); done
[ -e "$LCDVM_OUT/$1.ppm" ]
EOF
    local held=()
    [ "$hold" = 1 ] && held=(--hold "$out/feeder.go")
    if [ "$usb_camera" = 1 ]; then
        echo "exec $(printf '%q ' "$feeder" "${uvc_args[@]}" "${held[@]}" "${frames[@]}")" >"$out/feeder.sh"
        cat >"$out/usb" <<'EOF'
# sh "$LCDVM_OUT/usb" unplug|plug: unbinds the camera's gadget from its UDC,
# as pulling its cable, or binds it again. The Debian root has no configfs
# mounted where the feeder's chroot has it.
udc=/sys/kernel/config/usb_gadget/lcdvm/UDC
[ -e "$udc" ] || mount -t configfs configfs /sys/kernel/config || exit 1
case "$1" in
unplug) echo >"$udc" ;;
plug) ls /sys/class/udc >"$udc" ;;
*) exit 2 ;;
esac
EOF
    elif [ ${#frames[@]} -gt 0 ]; then
        echo "exec $(printf '%q ' "$feeder" "${held[@]}" /dev/video7 "$fps" "${frames[@]}")" \
            >"$out/feeder.sh"
    fi
}

# QEMU's control interface (QMP) goes through two FIFOs, opened read-write
# here so that neither side waits for the other to open them.
open_control() {
    ctl=$(mktemp -d "${TMPDIR:-/tmp}/lcdvm.XXXXXX") || die "mktemp failed"
    trap 'rm -rf "$ctl"' EXIT
    mkfifo "$ctl/qmp.in" "$ctl/qmp.out" || die "mkfifo in $ctl failed"
    exec {to_qemu}<>"$ctl/qmp.in" {from_qemu}<>"$ctl/qmp.out"
}

# Notes the guest's stop: QEMU reports a restart or power-off as SHUTDOWN and,
# told to pause there, keeps the display as the guest left it.
note_event() {
    case "$1" in *'"event": "SHUTDOWN"'*) stopped=1 ;; esac
}

# Sends one QMP command and waits up to 30 s for its answer.
qmp() {
    local line
    printf '%s\n' "$1" >&"$to_qemu"
    while read -r -t 30 line <&"$from_qemu"; do
        note_event "$line"
        case "$line" in
        *'"return"'*) return 0 ;;
        *'"error"'*)
            echo "run_in_vm.sh: QEMU answered $line" >&2
            return 1
            ;;
        esac
    done
    echo "run_in_vm.sh: no answer from QEMU to $1" >&2
    return 1
}

screendump() {
    local file=$out/$1.$2
    qmp "{\"execute\": \"screendump\", \"arguments\": {\"filename\": \"$file.part\", \"format\": \"$2\"}}" &&
        mv "$file.part" "$file"
}

# Answers the guest's requests for pictures of the display until the guest
# stops, then takes the last picture and ends QEMU.
serve() {
    local line request
    stopped=0
    read -r -t 60 line <&"$from_qemu" || return 0
    qmp '{"execute": "qmp_capabilities"}' || return 0
    while [ "$stopped" = 0 ] && kill -0 "$qemu_pid" 2>/dev/null; do
        if read -r -t 0.05 line <&"$from_qemu"; then
            note_event "$line"
            continue
        fi
        for request in "$out"/*.dump-request; do
            [ -e "$request" ] || continue
            ! has_display || screendump "$(basename "$request" .dump-request)" ppm || true
            rm -f "$request"
        done
    done
    [ "$stopped" = 1 ] || return 0
    if has_display; then
        screendump screen ppm || true
        screendump screen png || true
    fi
    qmp '{"execute": "quit"}' || true
}

# The kernel and initramfs, and with --systemd the Debian root and the folder
# holding the kernel's modules.
prepare() {
    local cache with_root=()
    [ "$systemd" = 1 ] && with_root=(--debian-root)
    cache=$("$here/prepare.sh" "${with_root[@]}" "$arch") || die "prepare.sh $arch failed"
    kernel=$(sed -n 1p <<<"$cache")
    initrd=$(sed -n 2p <<<"$cache")
    modules=$(sed -n 4p <<<"$cache")
    root_disk=() device_tree=()
    [[ "$fb" != clcd* ]] || device_tree=(-dtb "${kernel%/*}/vexpress-lcd-$(depth_of "$fb").dtb")
    [ "$systemd" = 0 ] || root_disk=(-drive "file=$(sed -n 3p <<<"$cache"),format=raw,if=virtio,readonly=on")
}

# A board-like machine and the Debian root keep the text console on the
# display, its cursor on; the other cases only need the serial line.
kernel_consoles() {
    if [ "$board" = 1 ]; then
        echo "console=tty0 console=$console consoleblank=2"
    elif [ "$systemd" = 1 ]; then
        echo "console=tty0 console=$console"
    else
        echo "console=$console vt.global_cursor_default=0"
    fi
}

boot() {
    local status=0
    open_control
    # The time limit covers boot, drivers and the command's own limit.
    timeout -k 5 $((cmd_timeout + 90)) "${qemu[@]}" \
        -nodefaults -no-user-config -display none -m 512 \
        -action reboot=shutdown,shutdown=pause \
        -chardev "pipe,id=control,path=$ctl/qmp" -mon chardev=control,mode=control \
        -kernel "$kernel" -initrd "$initrd" "${device_tree[@]}" \
        -append "$(kernel_consoles) ${LCDVM_QUIET-quiet} panic=-1 video=$size" \
        -serial "file:$out/console.log" \
        "${display[@]}" "${root_disk[@]}" \
        -fsdev "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap" \
        -device "virtio-9p-$virtio_transport,fsdev=hostroot,mount_tag=hostroot" \
        -fsdev "local,id=out,path=$out,security_model=none" \
        -device "virtio-9p-$virtio_transport,fsdev=out,mount_tag=out" &
    qemu_pid=$!
    serve
    wait "$qemu_pid" || status=$?
    [ "$status" = 0 ] && return
    # The out folder may not outlive a throwaway machine: the console's end here.
    tail -n 20 "$out/console.log" >&2
    die "qemu-system ($arch) failed or timed out; console in $out/console.log"
}

uptime_at() {
    awk -v at="$1" '$1 == at {print $2}' "$out/uptime" 2>/dev/null || true
}

# One line on where the time went: guest clock at init, systemd's start (with
# --systemd), job start and end.
summary() {
    local init systemd job end usb usb_up
    init=$(uptime_at init) systemd=$(uptime_at systemd) job=$(uptime_at job) end=$(uptime_at end)
    usb=$(uptime_at usb_modules) usb_up=$(uptime_at usb_camera)
    echo "run_in_vm.sh: $arch VM: init at ${init:-?} s,${systemd:+ systemd at $systemd s,}${usb:+ USB camera from $usb s to ${usb_up:-?} s,}" \
        "job from ${job:-?} s to ${end:-?} s of guest time, $((SECONDS - started)) s in all" >&2
}

report() {
    summary
    [ -f "$out/vm-stopping" ] && [ ! -f "$out/vm-done" ] && exit 0
    if [ ! -f "$out/vm-done" ]; then
        [ -f "$out/vm-error" ] && echo "run_in_vm.sh: VM: $(cat "$out/vm-error")" >&2
        tail -n 20 "$out/console.log" >&2
        die "the VM did not finish its job"
    fi
    exit "$(cat "$out/status")"
}

started=$SECONDS
parse_args "$@"
check_args
choose_machine
prepare
write_job
boot
report
