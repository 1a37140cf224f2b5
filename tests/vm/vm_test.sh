#!/usr/bin/env bash
# Runs our programs in the test VM against real kernel drivers and checks
# what the screen holds afterwards: its memory, read back in the VM, and what
# QEMU's display shows, taken by the host.
#
#   vm_test.sh [--arch A] [--emulator E] --feeder P --screen P --jpeg-fb P
#              --camera-lcd P --lcd-draw P [--cpack-config F] CASE
#
# CASE is one of: jpeg_fb_vfb jpeg_fb_bochs jpeg_fb_virtio-gpu camera_lcd
# camera_lcd_vfb camera_lcd_bochs_1024x768 camera_lcd_missing camera_lcd_latency
# camera_lcd_drm camera_lcd_drm_1024x768 unflushed_writer lcd_draw_bochs
# camera_lcd_console panned camera_lcd_mode_vfb camera_lcd_drm_replug, and on
# amd64 camera_lcd_service and camera_lcd_service_late_camera, which install
# our packages, made by cpack from the build's CPackConfig.cmake F, in a Debian
# root booted with systemd. The programs are built for the VM's architecture A
# (default: this machine's); E runs vm_screen on this machine
# when it is built for another. Exits 0 when every check passed, 1 when one
# failed, 77 when the VM cannot be prepared on this machine (not root and
# tools missing).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
passed=0
failed=0
arch=$(dpkg --print-architecture)
emulator=()
cpack_config=

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
        --screen) screen=$2 ;;
        --jpeg-fb) jpeg_fb=$2 ;;
        --camera-lcd) camera_lcd=$2 ;;
        --lcd-draw) lcd_draw=$2 ;;
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

# The framebuffer driver whose memory QEMU's display shows.
display_driver() { if [ "$arch" = amd64 ]; then echo bochs; else echo virtio-gpu; fi; }

value() { sed -n "s/^$2=//p" "$1"; }

has_value() {
    [ "$(value "$1" "$2")" = "$3" ] && return
    echo "  $1: $2 is '$(value "$1" "$2")', want '$3'" >&2
    false
}

is_lcd_geometry() {
    has_value "$1" xres 800 && has_value "$1" yres 480 && has_value "$1" bits_per_pixel 32 &&
        has_value "$1" line_length 3200
}

# The last argument, when given, is the screen's size (default 800x480).
screen_shows() {
    local raw=$1 red=$2 image=$3 area=$4 size=${5:-800x480}
    local blue=$((16 - red))
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

# The same picture size, format and colour layout checks on every driver; the
# layouts differ (red at bit 0 on vfb, 16 on bochs and virtio-gpu), so a
# program that ignores the driver's layout fails on one of them.
jpeg_fb_case() {
    local fb=$1 red=$2
    local images=(
        # name  width height seed  cjpeg options
        "small  320   200    1"
        "full   800   480    2"
        "large  1024  600    3"
        "gray   640   360    4     -grayscale"
    )
    local row names=() dump=:
    for row in "${images[@]}"; do
        # shellcheck disable=SC2086  # the row's words are the arguments
        make_jpeg $row
        names+=("${row%% *}")
    done
    # shellcheck disable=SC2016  # expanded in the VM
    [ "$fb" = vfb ] || dump='sh "$LCDVM_OUT/screendump"'
    cat >"$work/job.sh" <<EOF
"$screen" info /dev/fb0 >"\$LCDVM_OUT/info"
for name in ${names[*]}; do
  head -c 1536000 /dev/zero | tr '\\0' '\\125' >/dev/fb0
  "$jpeg_fb" "$work/\$name.jpg" >"\$LCDVM_OUT/\$name.stdout" 2>"\$LCDVM_OUT/\$name.stderr"
  echo \$? >"\$LCDVM_OUT/\$name.status"
  cat /dev/fb0 >"\$LCDVM_OUT/\$name.raw"
  $dump "\$name"
done
EOF
    run_vm --fb "$fb" --timeout 60 -- sh "$work/job.sh"
    local info=$work/out/info
    check "$fb: 800x480, 32 bits, 3200-byte lines" is_lcd_geometry "$info"
    check "$fb: memory holds exactly one screen" has_value "$info" smem_len 1536000
    check "$fb: red at bit $red" has_value "$info" red "$red/8"
    for name in "${names[@]}"; do
        check "$fb: jpeg_fb $name.jpg exits 0" exit_status_is "$work/out/$name.status" 0
        check "$fb: jpeg_fb $name.jpg: screen is the decode at (0,0), black elsewhere" \
            screen_shows "$work/out/$name.raw" "$red" "$work/$name.pnm" screen
        [ "$fb" = vfb ] ||
            check "$fb: jpeg_fb $name.jpg: the display shows the decode at (0,0), black elsewhere" \
                display_shows "$work/out/$name.ppm" "$work/$name.pnm" screen
    done
}

# camera_lcd on a driver (red at bit RED) whose screen is SIZE; vfb has no
# display to take pictures of.
camera_lcd_case() {
    local fb=$1 red=$2 size=$3
    make_jpeg a 640 480 5
    make_jpeg b 640 480 6
    make_jpeg last 640 480 7
    : >"$work/empty.jpg"
    local frames=() i
    for i in $(seq 1 30); do
        if [ $((i % 7)) -eq 0 ]; then
            frames+=(--frame "$work/empty.jpg")
        elif [ $((i % 2)) -eq 0 ]; then
            frames+=(--frame "$work/a.jpg")
        else
            frames+=(--frame "$work/b.jpg")
        fi
    done
    frames+=(--frame "$work/last.jpg")
    cat >"$work/job.sh" <<'EOF'
cpu_ticks() { awk '{print $14 + $15}' /proc/$1/stat; }
lines() { wc -l <"$LCDVM_OUT/camera.stderr"; }
alive() { kill -0 "$1" 2>/dev/null && echo 1 || echo 0; }
"$1" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
# The feeder holds its first frame until camera_lcd has the camera open.
for i in $(seq 100); do ls -l "/proc/$pid/fd" | grep -q /dev/video7 && break; sleep 0.1; done
sleep 0.5
touch "$LCDVM_OUT/feeder.go"
for i in $(seq 300); do grep -q '^done' "$LCDVM_OUT/feeder.log" && break; sleep 0.1; done
echo "alive_at_end_of_frames=$(alive $pid)"
at_end=$(lines)
echo "lines_at_end_of_frames=$at_end"
# Its wait for a frame times out after a while; it should tell once, then stay quiet.
for i in $(seq 80); do [ "$(lines)" -gt "$at_end" ] && break; sleep 0.1; done
sleep 1
echo "ticks_before_idle=$(cpu_ticks $pid)"
echo "lines_before_idle=$(lines)"
sleep 4
echo "ticks_after_idle=$(cpu_ticks $pid)"
echo "lines_after_idle=$(lines)"
echo "alive_after_idle=$(alive $pid)"
cat /dev/fb0 >"$LCDVM_OUT/camera.raw"
sh "$LCDVM_OUT/screendump" camera
kill $pid
EOF
    run_vm --fb "$fb" --size "$size" --feeder "$feeder" --fps 10 --hold "${frames[@]}" \
        --timeout 60 -- sh "$work/job.sh" "$camera_lcd"
    local r=$work/out/stdout
    check "camera_lcd runs through stale and empty buffers until the last frame" \
        has_value "$r" alive_at_end_of_frames 1
    check "$fb $size: camera_lcd shows the last frame at (0,0)" \
        screen_shows "$work/out/camera.raw" "$red" "$work/last.pnm" image "$size"
    [ "$fb" = vfb ] ||
        check "$fb $size: the display shows camera_lcd's last frame at (0,0)" \
            display_shows "$work/out/camera.ppm" "$work/last.pnm" image "$size"
    check "camera_lcd says once that frames stopped" said_once "$r"
    check "camera_lcd waits without spinning" idles "$r"
    check "camera_lcd keeps waiting" has_value "$r" alive_after_idle 1
}

said_once() {
    local at_end before after
    at_end=$(value "$1" lines_at_end_of_frames)
    before=$(value "$1" lines_before_idle)
    after=$(value "$1" lines_after_idle)
    [ "$before" -eq $((at_end + 1)) ] && [ "$after" -eq "$before" ] && return
    echo "  stderr lines: $at_end when frames stopped, $before soon after, $after 4 s later" >&2
    false
}

# At most 0.2 s of CPU over the 4 s idle window (ticks are 1/100 s).
idles() {
    local before after
    before=$(value "$1" ticks_before_idle)
    after=$(value "$1" ticks_after_idle)
    if [ -z "$before" ] || [ -z "$after" ]; then
        echo "  camera_lcd was not running to measure" >&2
        return 1
    fi
    local used=$((after - before))
    [ "$used" -le 20 ] && return
    echo "  camera_lcd used $used ticks of CPU in 4 s without frames" >&2
    false
}

# Without /dev/fb0 (fbdev emulation off) camera_lcd draws on the DRM device:
# its picture is on the display while it runs, a second one finds the device
# taken, and the picture goes when it exits.
camera_lcd_drm_case() {
    local size=$1
    make_jpeg a 640 480 8
    make_jpeg last 640 480 9
    cat >"$work/job.sh" <<'EOF'
"$1" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
for i in $(seq 100); do ls -l "/proc/$pid/fd" | grep -q /dev/video7 && break; sleep 0.1; done
touch "$LCDVM_OUT/feeder.go"
# Told once no frame came for a while: the last one is drawn.
for i in $(seq 100); do grep -q 'no frame' "$LCDVM_OUT/camera.stderr" && break; sleep 0.1; done
[ -e /dev/fb0 ] && echo fb0=present || echo fb0=absent
sh "$LCDVM_OUT/screendump" running
"$1" >"$LCDVM_OUT/second.stdout" 2>"$LCDVM_OUT/second.stderr"
echo "second_status=$?"
kill $pid
wait $pid
sh "$LCDVM_OUT/screendump" gone
EOF
    run_vm --fb "$(display_driver)-drm" --size "$size" --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" \
        --frame "$work/last.jpg" --timeout 60 -- sh "$work/job.sh" "$camera_lcd"
    local r=$work/out/stdout
    check "drm: no /dev/fb0" has_value "$r" fb0 absent
    check "drm: camera_lcd names the device and the mode" grep -qx \
        "No /dev/fb0: drawing on /dev/dri/card0 at $size, [0-9]* Hz" "$work/out/camera.stderr"
    check "drm: the display shows camera_lcd's last frame at (0,0), black elsewhere" \
        display_shows "$work/out/running.ppm" "$work/last.pnm" screen "$size"
    check "drm: a second camera_lcd exits with status 1" has_value "$r" second_status 1
    check "drm: a second camera_lcd says in one line that the device is taken" \
        one_line_says "$work/out/second.stderr" 'another program is its DRM master'
    check "drm: the picture goes when camera_lcd exits" \
        display_lacks "$work/out/gone.ppm" "$work/last.pnm" "$size"
}

one_line_says() {
    [ "$(wc -l <"$1")" -eq 1 ] && grep -q "$2" "$1" && return
    echo "  $1 holds: $(cat "$1")" >&2
    false
}

# The status line after SIGUSR1, while the feeder writes 30 frames a second,
# tells the time from capture (v4l2loopback stamps each write) to the screen.
camera_lcd_latency_case() {
    make_jpeg a 640 480 10
    cat >"$work/job.sh" <<'EOF'
"$1" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
for i in $(seq 100); do ls -l "/proc/$pid/fd" | grep -q /dev/video7 && break; sleep 0.1; done
sleep 3
kill -USR1 $pid
for i in $(seq 50); do grep -q 'frames drawn' "$LCDVM_OUT/camera.stderr" && break; sleep 0.1; done
touch "$LCDVM_OUT/feeder.go"
kill $pid
EOF
    run_vm --feeder "$feeder" --fps 30 --hold --frame "$work/a.jpg" --timeout 60 -- \
        sh "$work/job.sh" "$camera_lcd"
    grep 'frames drawn' "$work/out/camera.stderr" || true
    check "camera_lcd's status line tells capture to screen, under 1 s median" \
        latency_under_a_second "$work/out/camera.stderr"
}

latency_under_a_second() {
    local ms
    ms=$(sed -n 's/.*; capture to screen \([0-9]*\)\.[0-9]* ms median, [0-9.]* ms at most.*/\1/p' "$1")
    [ -n "$ms" ] && [ "$ms" -lt 1000 ] && return
    echo "  $1 holds: $(cat "$1")" >&2
    false
}

camera_lcd_missing_case() {
    run_vm --fb "$(display_driver)" --timeout 20 -- "$camera_lcd"
    check "camera_lcd without a camera exits with status 1" exit_status_is "$work/out/status" 1
    check "camera_lcd without a camera names the device" grep -q /dev/video7 "$work/out/stderr"
}

# camera_lcd on a board-like machine: the console on the display, its cursor
# blinking, a login prompt on tty1, consoleblank=2. First as the service runs
# it (an unprivileged user with a VT of its own, tty2, as controlling
# terminal): it brings its VT to the front and gives tty1 the front back at
# the end. Then as root from a shell that has no VT: it takes tty1, the VT in
# front. Neither the cursor, nor text on tty1, nor a kernel message, nor the
# blanking reaches the display while it runs; after SIGTERM the console is in
# text mode and shows its text again.
camera_lcd_console_case() {
    make_jpeg a 640 480 12
    make_jpeg last 640 480 13
    # The service's user cannot reach a build tree in a home folder of mode
    # 700 (/root): it runs a copy, with our camera library beside it.
    local library
    library=$(dirname "$camera_lcd")/../v4l2_camera/libapi_v4l2_arm.so
    mkdir "$work/service"
    cp "$camera_lcd" "$library" "$work/service/" || die "copy of camera_lcd and $library failed"
    chmod 711 "$work"
    cat >"$work/job.sh" <<'EOF'
screen=$1 camera_lcd=$2 service=$3
started() { for i in $(seq 100); do ls -l "/proc/$1/fd" | grep -q /dev/video7 && break; sleep 0.1; done; sleep 1; }
# Unblanks the console as a key pressed at it would, and starts its blanking
# delay again; a VT in graphics mode takes no notice.
wake() { printf '\033[13]' >/dev/tty1; }
# What udev and systemd do on a board: the devices open to the group video,
# the service's VT owned by its user.
chmod 666 /dev/fb0 /dev/video7
chown 65534 /dev/tty2
LD_LIBRARY_PATH=$service "$screen" service /dev/tty2 "$service/camera_lcd" 2>"$LCDVM_OUT/service.stderr" &
pid=$!
started $pid
"$screen" vt /dev/tty2 | sed 's/^/service_/'
sh "$LCDVM_OUT/screendump" service
kill $pid
wait $pid
"$screen" vt /dev/tty2 | sed 's/^/service_ended_/'
wake
"$camera_lcd" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
started $pid
# The first frame, repeated at 10 fps: 12 dumps, over 5 s where the host is not busy.
echo "dumps_from=$(cut -d ' ' -f 1 /proc/uptime)"
for i in $(seq 12); do wake; sh "$LCDVM_OUT/screendump" held$i; sleep 0.1; done
echo "dumps_to=$(cut -d ' ' -f 1 /proc/uptime)"
touch "$LCDVM_OUT/feeder.go"
for i in $(seq 100); do grep -q 'no frame' "$LCDVM_OUT/camera.stderr" && break; sleep 0.1; done
wake
sh "$LCDVM_OUT/screendump" away
printf '\033[H\033[J' >/dev/tty1
for i in $(seq 20); do printf '%080d\n' 0 | tr 0 '#'; done >/dev/tty1
echo '<2>camera_lcd test: a critical kernel message' >/dev/kmsg
sleep 5
sh "$LCDVM_OUT/screendump" later
"$screen" vt /dev/tty1 | sed 's/^/held_/'
kill $pid
wait $pid
"$screen" vt /dev/tty1 | sed 's/^/ended_/'
# No more blanking (ESC [9;0]): the dump may come later than 2 s on a busy host.
printf '\033[9;0]' >/dev/tty1
wake
sleep 0.5
sh "$LCDVM_OUT/screendump" ended
"$screen" lit "$LCDVM_OUT/ended.ppm" | sed 's/^/ended_lit=/'
EOF
    run_vm --board --fb "$(display_driver)" --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" \
        --frame "$work/last.jpg" --timeout 120 -- sh "$work/job.sh" "$screen" "$camera_lcd" "$work/service"
    local r=$work/out/stdout i differ=0
    check "service: one line: tty2 brought to the front in graphics mode" one_line_says \
        "$work/out/service.stderr" '^camera_lcd: the console tty2 is in front, in graphics mode until camera_lcd ends (tty1 before)$'
    check "service: tty2 in front, in graphics mode" has_values "$r" service_mode graphics service_front 2
    check "service: the display shows the frame" display_shows "$work/out/service.ppm" "$work/a.pnm" image
    check "service: after SIGTERM tty2 is in text mode and tty1 in front again" \
        has_values "$r" service_ended_mode text service_ended_front 1
    check "root: its first line: tty1 in graphics mode" first_line_is "$work/out/camera.stderr" \
        'camera_lcd: the console tty1 is in graphics mode until camera_lcd ends'
    for i in $(seq 12); do
        display_shows "$work/out/held$i.ppm" "$work/a.pnm" image 2>/dev/null || differ=$((differ + 1))
    done
    echo "observed - $differ of 12 dumps from $(value "$r" dumps_from) to $(value "$r" dumps_to) s of guest time differ from the frame"
    check "root: every dump of the display while frames come shows the frame" [ "$differ" -eq 0 ]
    check "root: text on tty1, a kernel message and 5 s of consoleblank=2 leave the display as it was" \
        display_shows "$work/out/later.ppm" "$work/out/away.ppm" screen
    check "root: the display still shows the last frame" display_shows "$work/out/later.ppm" "$work/last.pnm" image
    check "root: tty1 in graphics mode while it runs" has_value "$r" held_mode graphics
    check "root: after SIGTERM tty1 is in text mode, in front" has_values "$r" ended_mode text ended_front 1
    check "root: after SIGTERM the display shows tty1's text, not the frame" shows_text "$r" "$work/out/ended.ppm"
}

first_line_is() {
    [ "$(head -n 1 "$1")" = "$2" ] && return
    echo "  $1 holds: $(cat "$1")" >&2
    false
}

has_values() {
    local file=$1
    shift
    while [ $# -gt 1 ]; do
        has_value "$file" "$1" "$2" || return
        shift 2
    done
}

# 20 lines of 80 '#' light far more pixels than a cursor (at most 8x16).
shows_text() {
    local lit
    lit=$(value "$1" ended_lit)
    [ "${lit:-0}" -gt 5000 ] && display_lacks "$2" "$work/last.pnm" && return
    echo "  $2: ${lit:-no} pixels lit" >&2
    false
}

# Both programs on a screen with memory for two, the display panned to the
# second (as a console that scrolled by panning, or a program that flips
# pages, leaves it): each pans the display back to the start and draws
# there. bochs shows the start of its memory whatever its pan, so there the
# pan itself tells; virtio-gpu shows the part its pan says.
panned_case() {
    make_jpeg picture 640 360 14
    make_jpeg a 640 480 15
    cat >"$work/job.sh" <<'EOF'
screen=$1 jpeg_fb=$2 camera_lcd=$3 picture=$4
"$screen" pan /dev/fb0 0 480
"$screen" info /dev/fb0 | sed 's/^/before_/'
"$jpeg_fb" "$picture" 2>"$LCDVM_OUT/jpeg_fb.stderr"
echo "jpeg_fb_status=$?"
"$screen" info /dev/fb0 | sed 's/^/jpeg_fb_/'
sh "$LCDVM_OUT/screendump" jpeg_fb
"$screen" pan /dev/fb0 0 480
"$camera_lcd" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
for i in $(seq 100); do ls -l "/proc/$pid/fd" | grep -q /dev/video7 && break; sleep 0.1; done
sleep 1
"$screen" info /dev/fb0 | sed 's/^/camera_/'
sh "$LCDVM_OUT/screendump" camera
# Panned while it runs: noticed before the next frame, and panned back.
"$screen" pan /dev/fb0 0 480
sleep 1
"$screen" info /dev/fb0 | sed 's/^/moved_/'
sh "$LCDVM_OUT/screendump" moved
kill $pid
EOF
    run_vm --fb "$(display_driver)-overalloc" --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" \
        --timeout 60 -- sh "$work/job.sh" "$screen" "$jpeg_fb" "$camera_lcd" "$work/picture.jpg"
    local r=$work/out/stdout
    check "memory for two screens, the display panned to the second" \
        has_values "$r" before_yres_virtual 960 before_yoffset 480
    check "jpeg_fb exits 0, the display panned back" has_values "$r" jpeg_fb_status 0 jpeg_fb_yoffset 0
    check "jpeg_fb: the display shows the picture at (0,0), black elsewhere" \
        display_shows "$work/out/jpeg_fb.ppm" "$work/picture.pnm" screen
    check "camera_lcd: the display panned back" has_value "$r" camera_yoffset 0
    check "camera_lcd: the display shows the frame at (0,0)" \
        display_shows "$work/out/camera.ppm" "$work/a.pnm" image
    check "camera_lcd: panned while it runs, the display panned back" has_value "$r" moved_yoffset 0
    check "camera_lcd: the display shows the frame at (0,0) still" \
        display_shows "$work/out/moved.ppm" "$work/a.pnm" image
    check "camera_lcd: one line for the pan, none about a console that is not on the screen" \
        diff -u - "$work/out/camera.stderr" <<<"The screen /dev/fb0 changed to 800x480, 32 bits per pixel, lines of 3200 bytes, panned to (0, 480)"
}

# camera_lcd while the screen changes under it, as fbset changes it: vfb from
# 800x480 at 32 bits to 1024x600 at 16 and back. Each time the picture is
# right in the new mode, and the memory beyond the 16-bit screen (where the
# 32-bit lines reached) keeps what was written there.
camera_lcd_mode_case() {
    make_jpeg a 640 480 16
    cat >"$work/job.sh" <<'EOF'
screen=$1 camera_lcd=$2
"$camera_lcd" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
for i in $(seq 100); do ls -l "/proc/$pid/fd" | grep -q /dev/video7 && break; sleep 0.1; done
sleep 1
cat /dev/fb0 >"$LCDVM_OUT/before.raw"
"$screen" mode /dev/fb0 1024x600x16
# 1024 x 600 x 2 bytes shown; the 307200 bytes after them marked
head -c 307200 /dev/zero | tr '\0' '\132' | dd of=/dev/fb0 bs=1024 seek=1200 2>/dev/null
sleep 1
cat /dev/fb0 >"$LCDVM_OUT/sixteen.raw"
"$screen" mode /dev/fb0 800x480x32
sleep 1
cat /dev/fb0 >"$LCDVM_OUT/back.raw"
echo "alive=$(kill -0 $pid && echo 1)"
kill $pid
EOF
    run_vm --fb vfb --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" --timeout 60 \
        -- sh "$work/job.sh" "$screen" "$camera_lcd"
    local out=$work/out
    check "vfb 800x480x32: the frame at (0,0)" screen_shows "$out/before.raw" 0 "$work/a.pnm" image
    # vfb's 16-bit pixels are 5-6-5 with red at bit 0, as its 32-bit ones have red at bit 0
    check "vfb 1024x600x16: the frame at (0,0)" \
        host_screen compare "$out/sixteen.raw" 0 11 "$work/a.pnm" image 1024x600x16
    check "vfb 1024x600x16: the memory after the screen as it was marked" tail_is_marked "$out/sixteen.raw"
    check "vfb 800x480x32 again: the frame at (0,0)" screen_shows "$out/back.raw" 0 "$work/a.pnm" image
    check "camera_lcd still runs" has_value "$out/stdout" alive 1
    check "camera_lcd tells each change in one line" diff -u - "$out/camera.stderr" <<'EOF'
The screen /dev/fb0 changed to 1024x600, 16 bits per pixel, lines of 2048 bytes
The screen /dev/fb0 changed to 800x480, 32 bits per pixel, lines of 3200 bytes
EOF
}

tail_is_marked() {
    local other
    other=$(tail -c 307200 "$1" | tr -d '\132' | wc -c)
    [ "$other" -eq 0 ] && return
    echo "  $1: $other bytes after the 16-bit screen changed" >&2
    false
}

# camera_lcd on DRM while its display goes away and comes back, as a monitor
# switched off and on: QEMU cannot unplug its display, so the kernel's own
# stand-in does, the connector forced off and back to detection through
# sysfs. Frames keep coming, so the check before each one sees both.
camera_lcd_drm_replug_case() {
    make_jpeg a 640 480 17
    cat >"$work/job.sh" <<'EOF'
"$1" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
for i in $(seq 100); do ls -l "/proc/$pid/fd" | grep -q /dev/video7 && break; sleep 0.1; done
sleep 1
for status in /sys/class/drm/card0-*/status; do echo off >"$status"; done
sleep 1
for status in /sys/class/drm/card0-*/status; do echo detect >"$status"; done
sleep 1
sh "$LCDVM_OUT/screendump" back
kill $pid
EOF
    run_vm --fb "$(display_driver)-drm" --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" \
        --timeout 60 -- sh "$work/job.sh" "$camera_lcd"
    check "drm: camera_lcd tells the display gone and back, its mode set again" \
        diff -u - <(tail -n +2 "$work/out/camera.stderr") <<'EOF'
The display on /dev/dri/card0 went away
The display on /dev/dri/card0 is back: 800x480 set again
EOF
    check "drm: the display shows the frame at (0,0)" display_shows "$work/out/back.ppm" "$work/a.pnm" image
}

# The display check against a writer that leaves its picture in the shadow
# buffer of the kernel's fbdev emulation, without msync or fsync. The kernel's
# deferred I/O copies it to the display after a delay (HZ/20) all the same,
# so the display check cannot tell such a writer from one that flushes once
# that delay has passed; a machine stopped at once mostly still shows the
# picture from before. One run stops right after a writer that flushes; the
# other waits a second after an unflushed writer, then stops right after another.
unflushed_writer_case() {
    local seed
    for seed in 1 2 3; do
        host_screen pattern 800 480 "$seed" >"$work/pattern$seed.ppm" || die "vm_screen pattern failed"
    done
    cat >"$work/job.sh" <<EOF
touch "\$LCDVM_OUT/vm-stopping"
exec "$screen" draw /dev/fb0 3 flush stop
EOF
    run_vm --fb "$(display_driver)" --timeout 20 -- sh "$work/job.sh"
    check "a writer that flushes is on the display at once" \
        display_shows "$work/out/screen.ppm" "$work/pattern3.ppm" screen
    cat >"$work/job.sh" <<EOF
"$screen" draw /dev/fb0 1
sleep 1
cat /dev/fb0 >"\$LCDVM_OUT/late.raw"
sh "\$LCDVM_OUT/screendump" late
touch "\$LCDVM_OUT/vm-stopping"
exec "$screen" draw /dev/fb0 2 stop
EOF
    run_vm --fb "$(display_driver)" --timeout 20 -- sh "$work/job.sh"
    cat "$work/out/stderr"
    check "an unflushed writer's picture is in the screen memory" \
        screen_shows "$work/out/late.raw" 16 "$work/pattern1.ppm" screen
    check "the kernel puts an unflushed writer's picture on the display within a second" \
        display_shows "$work/out/late.ppm" "$work/pattern1.ppm" screen
    # A race with the kernel's delay, not a check: usually the machine stops
    # before the copy, but a slow writer or a loaded host lets the copy win.
    if display_lacks "$work/out/screen.ppm" "$work/pattern2.ppm"; then
        echo "observed - right after an unflushed writer the display still showed the picture before"
    else
        echo "observed - right after an unflushed writer the kernel's copy had already reached the display"
    fi
}

# lcd_draw on a cleared bochs screen: a JPEG at (0,0), then a BMP logo at
# (640,0) beside it. The expected picture is put together by ImageMagick.
lcd_draw_case() {
    local convert=/usr/bin/convert
    [ -x "$convert" ] || die "$convert is missing: apt-get install imagemagick"
    make_jpeg frame 640 480 10
    host_screen pattern 160 120 11 >"$work/logo.ppm" || die "vm_screen pattern failed"
    "$convert" "$work/logo.ppm" -type truecolor "BMP3:$work/logo.bmp" || die "convert logo.bmp failed"
    "$convert" -size 800x480 xc:black "$work/frame.pnm" -composite "$work/logo.ppm" \
        -geometry +640+0 -composite -depth 8 "ppm:$work/expected.ppm" || die "convert expected.ppm failed"
    cat >"$work/job.sh" <<EOF
head -c 1536000 /dev/zero >/dev/fb0
"$lcd_draw" "$work/frame.jpg" >"\$LCDVM_OUT/frame.stdout" 2>"\$LCDVM_OUT/frame.stderr"
echo \$? >"\$LCDVM_OUT/frame.status"
"$lcd_draw" "$work/logo.bmp" 640 0 >"\$LCDVM_OUT/logo.stdout" 2>"\$LCDVM_OUT/logo.stderr"
echo \$? >"\$LCDVM_OUT/logo.status"
cat /dev/fb0 >"\$LCDVM_OUT/drawn.raw"
sh "\$LCDVM_OUT/screendump" drawn
EOF
    run_vm --fb bochs --timeout 60 -- sh "$work/job.sh"
    check "bochs: lcd_draw frame.jpg exits 0" exit_status_is "$work/out/frame.status" 0
    check "bochs: lcd_draw logo.bmp 640 0 exits 0" exit_status_is "$work/out/logo.status" 0
    check "bochs: the screen holds the frame at (0,0), the logo at (640,0), black elsewhere" \
        screen_shows "$work/out/drawn.raw" 16 "$work/expected.ppm" screen
    check "bochs: the display shows the frame at (0,0), the logo at (640,0), black elsewhere" \
        display_shows "$work/out/drawn.ppm" "$work/expected.ppm" screen
}

# Our packages as a user gets them, for the VM's architecture (cpack, as for
# the board), and the setup that installs those a board runs with dpkg (not
# the development package, which needs the -dev packages), notes whether that
# enabled the unit, and enables it.
make_packages() {
    [ -f "$cpack_config" ] || die "--cpack-config names no CPackConfig.cmake"
    cpack --config "$cpack_config" -B "$work/debs" >"$work/cpack.log" 2>&1 ||
        die "cpack failed, see $work/cpack.log"
    cat >"$work/setup.sh" <<EOF
set -e
debs=/host$work/debs
dpkg -i \$debs/camera-lcd_*.deb \$debs/jpeg-fb_*.deb \$debs/libapi-v4l2-arm_*.deb
echo "enabled_after_dpkg=\$(systemctl is-enabled camera-lcd.service || true)"
systemctl enable camera-lcd.service
EOF
}

# camera-lcd.service as a board runs it: our packages installed with dpkg in
# a Debian root booted with systemd, the console left on the screen. The
# feeder holds its first frame, then sends 300 undecodable ones (whole JPEG
# markers around nothing libjpeg can decode) and good ones after them.
camera_lcd_service_case() {
    make_packages
    make_jpeg first 640 480 12
    make_jpeg last 640 480 13
    printf '\377\330\377\331' >"$work/no_image.jpg"
    printf '\377\330\377\300\000\002\377\331' >"$work/bad_length.jpg"
    local frames=(--fps 10 --hold --frame "$work/first.jpg" --fps 50) i
    for i in $(seq 150); do frames+=(--frame "$work/no_image.jpg" --frame "$work/bad_length.jpg"); done
    frames+=(--fps 10)
    for i in $(seq 250); do frames+=(--frame "$work/last.jpg"); done
    run_vm --systemd --setup "$work/setup.sh" --feeder "$feeder" "${frames[@]}" --timeout 150 \
        -- sh "/host$here/service_job.sh" boot "$screen"
    local r=$work/out/stdout o=$work/out
    check "service: dpkg -i installs the unit disabled" has_value "$o/setup.log" enabled_after_dpkg disabled
    check "service: started at boot by itself, the camera open" has_value "$r" camera_open_at_boot 1
    check "service: started without a failure" has_value "$r" restarts_at_boot 0
    check "service: its wait for udev works in its sandbox" has_value "$r" start_pre_status 0
    check "service: runs as a dynamic user in the group video" runs_as_dynamic_video_user "$r"
    check "service: the display shows the camera's frame" display_shows "$o/boot.ppm" "$work/first.pnm" screen
    check "service: SIGUSR1 puts the status line in the journal" status_line_in "$o/usr1.txt"
    check "service: writes nowhere but its private /tmp, /var/tmp and its devices" \
        writes_only_runtime_paths "$o/writes.txt"
    check "service: 300 undecodable frames sent leave at most 5 journal lines" at_most_lines 5 "$o/undecodable.txt"
    check "service: and the view goes on in the same process" \
        has_value "$r" pid_after_undecodable "$(value "$r" pid_at_boot)"
    check "service: the display shows the good frame after them" \
        display_shows "$o/after_undecodable.ppm" "$work/last.pnm" screen
    check "service: kill -9: restarted once" has_value "$r" restarts_after_kill 1
    check "service: the picture wiped from the display after the SIGKILL" \
        display_lacks "$o/wiped.ppm" "$work/last.pnm"
    check "service: the picture is back within the restart delay and 2 s" \
        display_shows "$o/restarted.ppm" "$work/last.pnm" image
    check "service: systemctl stop ends it cleanly" has_value "$r" result_after_stop success
    check "service: the console in front is in graphics mode while it runs" \
        has_value "$r" console_running graphics
    check "service: and in text mode while it waits to be restarted after a SIGKILL" \
        has_value "$r" console_after_kill text
    check "service: and in text mode after systemctl stop" has_value "$r" console_after_stop text
    check "service: systemd-analyze security rates its exposure at most $EXPOSURE_MAX" \
        exposure_at_most "$o/security.txt"
    # The loopback device holds two buffers: one the reader has not taken
    # yet is overwritten, so the count may be a little under 300.
    echo "observed - the status line after them:" \
        "$(grep -o '[0-9]* undecodable' "$o/usr1_after_undecodable.txt")"
    echo "observed - systemd-analyze security: overall exposure $(exposure "$o/security.txt"), for" \
        "$(awk '$1 == "✗" {printf "%s%s", sep, $2; sep = ", "}' "$o/security.txt")"
    echo "observed - camera_lcd started again $(value "$r" started_after_kill) s after the SIGKILL" \
        "(restart delay $(value "$r" restart_delay) s); the display taken" \
        "$(seconds "$(value "$r" restarted_asked)") s after it"
    echo "observed - systemd: startup finished in $(value "$r" boot_time)"
}

# No camera at boot: the service waits; the camera plugged in brings the picture.
camera_lcd_service_late_camera_case() {
    make_packages
    make_jpeg last 640 480 14
    local frames=(--fps 10) i
    for i in $(seq 150); do frames+=(--frame "$work/last.jpg"); done
    run_vm --systemd --setup "$work/setup.sh" --late-camera --feeder "$feeder" "${frames[@]}" \
        --timeout 60 -- sh "/host$here/service_job.sh" late "$screen"
    local r=$work/out/stdout
    check "service without a camera: waits to be started again" \
        has_value "$r" substate_without_camera auto-restart
    check "service without a camera: says why" grep -q 'cannot start the camera /dev/video7' \
        "$work/out/without_camera.txt"
    check "service: the camera plugged in, the picture comes within the restart delay and 2 s" \
        display_shows "$work/out/plugged.ppm" "$work/last.pnm" image
    check "service: and has the camera open" has_value "$r" camera_open_after_plug 1
    echo "observed - camera_lcd started $(value "$r" started_after_plug) s after the camera came" \
        "($(grep -c 'cannot start the camera' "$work/out/without_camera.txt") failed starts before," \
        "restart delay $(value "$r" restart_delay) s); the display taken" \
        "$(seconds "$(value "$r" plugged_asked)") s after it"
    echo "observed - systemd: startup finished in $(value "$r" boot_time)"
}

# Hundredths of a second as seconds.
seconds() { printf '%d.%02d\n' $((${1:-0} / 100)) $((${1:-0} % 100)); }

status_line_in() {
    [ "$(grep -c 'camera_lcd: [0-9]* frames drawn since start' "$1")" = 1 ] && return
    echo "  $1 holds: $(cat "$1")" >&2
    false
}

# Dynamic users get uids from 61184 to 65519.
runs_as_dynamic_video_user() {
    local uid groups video
    uid=$(value "$1" uid) groups=" $(value "$1" groups) " video=$(value "$1" video_gid)
    [ "${uid:-0}" -ge 61184 ] && [ "$uid" -le 65519 ] && [[ "$groups" == *" $video "* ]] && return
    echo "  uid '$uid', groups '$groups', video is '$video'" >&2
    false
}

# Each line of the probe says "PATH writable" or "PATH not writable: why";
# only these may be writable, and they must be.
writes_only_runtime_paths() {
    local writable=" /tmp /var/tmp /dev/fb0 /dev/dri/card0 /dev/video7 /dev/tty7 " path verdict want wrong=0
    [ "$(wc -l <"$1")" -ge 10 ] || wrong=1
    while read -r path verdict _; do
        want=not
        [[ "$writable" == *" $path "* ]] && want=writable
        [ "$verdict" = "$want" ] || wrong=1
    done <"$1"
    [ "$wrong" = 0 ] && return
    sed 's/^/  /' "$1" >&2
    false
}

at_most_lines() {
    [ "$(wc -l <"$2")" -le "$1" ] && return
    echo "  $2 holds $(wc -l <"$2") lines:" >&2
    head -n 20 "$2" >&2
    false
}

# systemd-analyze's overall exposure, from 0 to 10, lower is better: what the
# unit reaches under Debian 12's systemd.
EXPOSURE_MAX=0.4
exposure() { sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$1"; }
exposure_at_most() {
    local score
    score=$(exposure "$1")
    [ -n "$score" ] && awk -v s="$score" -v m="$EXPOSURE_MAX" 'BEGIN {exit !(s <= m)}' && return
    echo "  overall exposure: ${score:-not found in $1}" >&2
    false
}

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
jpeg_fb_vfb) jpeg_fb_case vfb 0 ;;
jpeg_fb_bochs) jpeg_fb_case bochs 16 ;;
jpeg_fb_virtio-gpu) jpeg_fb_case virtio-gpu 16 ;;
camera_lcd) camera_lcd_case "$(display_driver)" 16 800x480 ;;
camera_lcd_vfb) camera_lcd_case vfb 0 800x480 ;;
camera_lcd_bochs_1024x768) camera_lcd_case bochs 16 1024x768 ;;
camera_lcd_missing) camera_lcd_missing_case ;;
camera_lcd_latency) camera_lcd_latency_case ;;
camera_lcd_console) camera_lcd_console_case ;;
panned) panned_case ;;
camera_lcd_mode_vfb) camera_lcd_mode_case ;;
camera_lcd_drm_replug) camera_lcd_drm_replug_case ;;
camera_lcd_drm) camera_lcd_drm_case 800x480 ;;
camera_lcd_drm_1024x768) camera_lcd_drm_case 1024x768 ;;
unflushed_writer) unflushed_writer_case ;;
lcd_draw_bochs) lcd_draw_case ;;
camera_lcd_service) camera_lcd_service_case ;;
camera_lcd_service_late_camera) camera_lcd_service_late_camera_case ;;
*) die "unknown case '$test_case'" ;;
esac
report
