# The VM cases of a screen as boards and users leave it, sourced by
# vm_test.sh: camera_lcd with the console on the screen (camera_lcd_console),
# both programs on a panned screen (panned), and camera_lcd while the
# screen's mode changes (camera_lcd_mode_vfb).
# shellcheck shell=bash disable=SC2154  # vm_test.sh sets the tools' paths, here and work

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
    run_vm --board --fb "$(display_driver)" --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" \
        --frame "$work/last.jpg" --timeout 120 -- sh "$here/jobs/camera_lcd_console.sh" "$screen" "$camera_lcd" "$work/service"
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
    run_vm --fb "$(drm_driver)-overalloc" --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" \
        --timeout 60 -- sh "$here/jobs/panned.sh" "$screen" "$jpeg_fb" "$camera_lcd" "$work/picture.jpg"
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
        diff -u - <(program_lines "$work/out/camera.stderr") <<<"The screen /dev/fb0 changed to 800x480, 32 bits per pixel, lines of 3200 bytes, panned to (0, 480)"
}

# camera_lcd while the screen changes under it, as fbset changes it: vfb from
# 800x480 at 32 bits to 1024x600 at 16 and back. Each time the picture is
# right in the new mode, and the memory beyond the 16-bit screen (where the
# 32-bit lines reached) keeps what was written there.
camera_lcd_mode_case() {
    make_jpeg a 640 480 16
    run_vm --fb vfb --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" --timeout 60 \
        -- sh "$here/jobs/camera_lcd_mode.sh" "$screen" "$camera_lcd"
    local out=$work/out
    check "vfb 800x480x32: the frame at (0,0)" screen_shows "$out/before.raw" 0 "$work/a.pnm" image
    # vfb's 16-bit pixels are 5-6-5 with red at bit 0, as its 32-bit ones have red at bit 0
    check "vfb 1024x600x16: the frame at (0,0)" \
        host_screen compare "$out/sixteen.raw" 0 11 "$work/a.pnm" image 1024x600x16
    check "vfb 1024x600x16: the memory after the screen as it was marked" tail_is_marked "$out/sixteen.raw"
    check "vfb 800x480x32 again: the frame at (0,0)" screen_shows "$out/back.raw" 0 "$work/a.pnm" image
    check "camera_lcd still runs" has_value "$out/stdout" alive 1
    check "camera_lcd tells each change in one line" diff -u - <(program_lines "$out/camera.stderr") <<'EOF'
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
