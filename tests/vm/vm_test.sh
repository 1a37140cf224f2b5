#!/usr/bin/env bash
# Runs our programs in the test VM against real kernel drivers and checks
# what the screen holds afterwards: its memory, read back in the VM, and what
# QEMU's display shows, taken by the host.
#
#   vm_test.sh [--arch A] [--emulator E] --feeder P [--uvc-feeder P] --screen P
#              --jpeg-fb P --camera-lcd P --lcd-draw P [--bench P] [--cpack-config F] CASE
#
# CASE is one of: jpeg_fb_vfb jpeg_fb_bochs jpeg_fb_virtio-gpu camera_lcd
# camera_lcd_vfb camera_lcd_bochs_1024x768 camera_lcd_missing camera_lcd_drm
# camera_lcd_drm_1024x768 unflushed_writer lcd_draw_bochs camera_lcd_console
# panned camera_lcd_mode_vfb camera_lcd_drm_replug lcd_draw_beside_live_view
# bench_cortex_a9 (camera-lcd-bench, P), on armhf jpeg_fb_clcd jpeg_fb_clcd16
# camera_lcd_clcd16 (vexpress-a9's LCD controller at 32 and 16 bits per
# pixel), and on amd64
# camera_lcd_usb camera_lcd_usb_large camera_lcd_usb_oversized (their camera
# a USB one, made by uvc_feeder), camera_lcd_service and
# camera_lcd_service_late_camera, which install our packages, made by cpack
# from the build's CPackConfig.cmake F, in a Debian
# root booted with systemd. The programs are built for the VM's architecture A
# (default: this machine's); E runs vm_screen on this machine
# when it is built for another. On armhf the screen is the LCD controller's
# but in the cases of DRM and its fbdev emulation (camera_lcd_drm*,
# unflushed_writer, panned), which a graphics card's driver serves (virtio-gpu).
# Exits 0 when every check passed, 1 when one
# failed, 77 when the VM cannot be prepared on this machine (not root and
# tools missing).
#
# This file holds the options, the helpers the cases share and the choice of
# the case. The cases are in cases/, grouped by what they run:
# still_pictures.sh (jpeg_fb_*, unflushed_writer, lcd_draw_*),
# camera_lcd.sh (camera_lcd*, but for those below, and bench_cortex_a9), usb_camera.sh
# (camera_lcd_usb*), console_pan_mode.sh
# (camera_lcd_console, panned, camera_lcd_mode_vfb) and service.sh
# (camera_lcd_service*). What a case runs in the VM is a file of jobs/, named
# after it (the service cases run service_job.sh), handed the paths it needs
# as arguments.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
passed=0
failed=0
arch=$(dpkg --print-architecture)
emulator=()
cpack_config=
uvc_feeder=
bench=

die() {
    echo "vm_test.sh: $*" >&2
    exit 1
}

check() {
    local name=$1
    shift
    if "$@"; then
        echo "ok - $name"
        passed=$((passed + 1))
    else
        echo "not ok - $name"
        failed=$((failed + 1))
    fi
}

parse_args() {
    while [ $# -gt 1 ]; do
        case "$1" in
        --arch) arch=$2 ;;
        --emulator) read -ra emulator <<<"${2//;/ }" ;;
        --feeder) feeder=$2 ;;
        --uvc-feeder) uvc_feeder=$2 ;;
        --screen) screen=$2 ;;
        --jpeg-fb) jpeg_fb=$2 ;;
        --camera-lcd) camera_lcd=$2 ;;
        --lcd-draw) lcd_draw=$2 ;;
        --bench) bench=$2 ;;
        --cpack-config) cpack_config=$2 ;;
        *) die "unknown option $1" ;;
        esac
        shift 2
    done
    test_case=${1:-}
    for tool in "$feeder" "$screen" "$jpeg_fb" "$camera_lcd" "$lcd_draw"; do
        [ -x "$tool" ] || die "$tool is not an executable"
    done
}

prepare_vm() {
    local rc=0 with_root=()
    [[ "$test_case" == camera_lcd_service* ]] && with_root=(--debian-root)
    "$here/prepare.sh" "${with_root[@]}" "$arch" >/dev/null || rc=$?
    [ "$rc" -eq 0 ] && return
    [ "$rc" -eq 77 ] && {
        echo "skipped: the VM cannot be prepared here"
        exit 77
    }
    die "prepare.sh failed ($rc)"
}

# vm_screen on this machine.
host_screen() { "${emulator[@]}" "$screen" "$@"; }

# A JPEG of the test pattern and djpeg's decode of it, as $work/NAME.jpg and .pnm.
make_jpeg() {
    local name=$1 width=$2 height=$3 seed=$4
    shift 4
    host_screen pattern "$width" "$height" "$seed" >"$work/$name.ppm" || die "vm_screen pattern failed"
    cjpeg -quality 90 "$@" "$work/$name.ppm" >"$work/$name.jpg" || die "cjpeg $name failed"
    djpeg -pnm "$work/$name.jpg" >"$work/$name.pnm" || die "djpeg $name failed"
}

# run_in_vm.sh passes on the command's exit status; only a VM that did not
# finish its job is a failure of the run itself.
run_vm() {
    "$here/run_in_vm.sh" --arch "$arch" --out "$work/out" "$@" || true
    [ -f "$work/out/vm-done" ] || [ -f "$work/out/vm-stopping" ] || die "the VM did not finish its job"
}

# The driver of the machine's screen, as a board's LCD: bochs on amd64, the
# LCD controller of vexpress-a9 on armhf, virtio-gpu on arm64.
display_driver() {
    case "$arch" in
    amd64) echo bochs ;;
    armhf) echo clcd ;;
    *) echo virtio-gpu ;;
    esac
}

# The bit red starts at in the driver's 32-bit pixels, or its 16-bit ones.
red_of() {
    case "$1" in
    vfb) echo 0 ;;
    clcd) echo 16 ;;
    clcd16) echo 11 ;;
    *) echo 16 ;;
    esac
}

# A graphics card's DRM driver, for the cases of DRM and its fbdev emulation.
drm_driver() { if [ "$arch" = amd64 ]; then echo bochs; else echo virtio-gpu; fi; }

value() { sed -n "s/^$2=//p" "$1"; }

has_value() {
    [ "$(value "$1" "$2")" = "$3" ] && return
    echo "  $1: $2 is '$(value "$1" "$2")', want '$3'" >&2
    false
}

# An 800x480 screen of BITS (default 32) bits per pixel, lines unpadded.
is_lcd_geometry() {
    local bits=${2:-32}
    has_value "$1" xres 800 && has_value "$1" yres 480 && has_value "$1" bits_per_pixel "$bits" &&
        has_value "$1" line_length $((800 * bits / 8))
}

# The last argument, when given, is the screen's size (default 800x480), with
# x16 for 16 bits per pixel. Blue is at the other end of the pixel from red.
screen_shows() {
    local raw=$1 red=$2 image=$3 area=$4 size=${5:-800x480}
    local blue=$((16 - red))
    [[ "$size" != *x*x16 ]] || blue=$((11 - red))
    host_screen compare "$raw" "$red" "$blue" "$image" "$area" "$size"
}

# A picture QEMU took of its display; its colours are in PPM order.
display_shows() {
    host_screen compare "$1" 0 0 "$2" "$3" "${4:-800x480}"
}

# A picture of the whole display that differs from the image.
display_lacks() {
    local status=0
    host_screen compare "$1" 0 0 "$2" screen "${3:-800x480}" 2>/dev/null || status=$?
    [ "$status" -eq 1 ] && return
    [ "$status" -eq 0 ] && echo "  $1 shows all of $2" >&2
    false
}

exit_status_is() {
    local file=$1 want=$2 got
    got=$(cat "$file" 2>/dev/null)
    [ "$got" = "$want" ] || {
        echo "  $file: exit status '$got', want $want" >&2
        false
    }
}

# What camera_lcd said itself: the file without the camera library's line
# that names the size and rate it streams at.
program_lines() { grep -v '^Camera /dev/video7: MJPEG ' "$1" || true; }

# One line of the program's own in the file, and it holds the pattern.
one_line_says() {
    local own
    own=$(program_lines "$1")
    [ -n "$own" ] && [ "$(wc -l <<<"$own")" -eq 1 ] && grep -q "$2" <<<"$own" && return
    echo "  $1 holds: $(cat "$1")" >&2
    false
}

# The cases, grouped by what they run.
# shellcheck source=SCRIPTDIR/cases/still_pictures.sh
source "$here/cases/still_pictures.sh"
# shellcheck source=SCRIPTDIR/cases/camera_lcd.sh
source "$here/cases/camera_lcd.sh"
# shellcheck source=SCRIPTDIR/cases/usb_camera.sh
source "$here/cases/usb_camera.sh"
# shellcheck source=SCRIPTDIR/cases/console_pan_mode.sh
source "$here/cases/console_pan_mode.sh"
# shellcheck source=SCRIPTDIR/cases/service.sh
source "$here/cases/service.sh"

report() {
    echo "$passed passed, $failed failed"
    if [ "$failed" -gt 0 ]; then
        echo "vm_test.sh: kept $work for a look" >&2
        exit 1
    fi
    rm -rf "$work"
}

parse_args "$@"
prepare_vm
work=$(mktemp -d "${TMPDIR:-/tmp}/vm_test.XXXXXX") || die "mktemp failed"
case "$test_case" in
jpeg_fb_vfb | jpeg_fb_bochs | jpeg_fb_virtio-gpu | jpeg_fb_clcd)
    jpeg_fb_case "${test_case#jpeg_fb_}" "$(red_of "${test_case#jpeg_fb_}")"
    ;;
jpeg_fb_clcd16) jpeg_fb_case clcd16 "$(red_of clcd16)" 16 ;;
camera_lcd) camera_lcd_case "$(display_driver)" "$(red_of "$(display_driver)")" 800x480 ;;
camera_lcd_vfb) camera_lcd_case vfb 0 800x480 ;;
camera_lcd_clcd16) camera_lcd_case clcd16 "$(red_of clcd16)" 800x480 16 ;;
camera_lcd_usb) camera_lcd_usb_case ;;
camera_lcd_usb_large) camera_lcd_usb_large_case ;;
camera_lcd_usb_oversized) camera_lcd_usb_oversized_case ;;
camera_lcd_bochs_1024x768) camera_lcd_case bochs 16 1024x768 ;;
camera_lcd_missing) camera_lcd_missing_case ;;
camera_lcd_console) camera_lcd_console_case ;;
panned) panned_case ;;
camera_lcd_mode_vfb) camera_lcd_mode_case ;;
camera_lcd_drm_replug) camera_lcd_drm_replug_case ;;
camera_lcd_drm) camera_lcd_drm_case 800x480 ;;
camera_lcd_drm_1024x768) camera_lcd_drm_case 1024x768 ;;
unflushed_writer) unflushed_writer_case ;;
lcd_draw_bochs) lcd_draw_case ;;
lcd_draw_beside_live_view) lcd_draw_beside_live_view_case ;;
bench_cortex_a9) bench_case ;;
camera_lcd_service) camera_lcd_service_case ;;
camera_lcd_service_late_camera) camera_lcd_service_late_camera_case ;;
*) die "unknown case '$test_case'" ;;
esac
report
