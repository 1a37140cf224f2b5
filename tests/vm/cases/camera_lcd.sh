# The VM cases of camera_lcd, sourced by vm_test.sh: the live view on each
# framebuffer driver and size, without a camera, and on DRM without
# /dev/fb0, also with the display unplugged and back; and the benchmark of
# its decode and draw on the machine's core. The camera is
# v4l2loopback; the cases on a USB camera are in usb_camera.sh.
# shellcheck shell=bash disable=SC2154  # vm_test.sh sets the tools' paths, here and work

# camera_lcd on a driver (red at bit RED) whose screen is SIZE, at BITS
# (default 32) bits per pixel; vfb has no display to take pictures of. v4l2loopback gives its buffers back as they
# were when no new frame was written, and empty ones for empty writes: a USB
# camera has neither to give.
camera_lcd_case() {
    local fb=$1 red=$2 size=$3 bits=${4:-32}
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
    run_vm --fb "$fb" --size "$size" --feeder "$feeder" --fps 10 --hold "${frames[@]}" \
        --timeout 60 -- sh "$here/jobs/camera_lcd.sh" "$camera_lcd"
    local r=$work/out/stdout
    check "camera_lcd runs through stale and empty buffers until the last frame" \
        has_value "$r" alive_at_end_of_frames 1
    check "$fb $size: camera_lcd shows the last frame at (0,0)" \
        screen_shows "$work/out/camera.raw" "$red" "$work/last.pnm" image "${size}x$bits"
    [ "$fb" = vfb ] ||
        check "$fb $size: the display shows camera_lcd's last frame at (0,0)" \
            display_shows "$work/out/camera.ppm" "$work/last.pnm" image "${size}x$bits"
    check "camera_lcd's library names the size and rate it streams at" grep -qx \
        'Camera /dev/video7: MJPEG 640x480 at [0-9.]* frames a second' "$work/out/camera.stderr"
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
    run_vm --fb "$(drm_driver)-drm" --size "$size" --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" \
        --frame "$work/last.jpg" --timeout 60 -- sh "$here/jobs/camera_lcd_drm.sh" "$camera_lcd"
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

camera_lcd_missing_case() {
    run_vm --fb "$(display_driver)" --timeout 20 -- "$camera_lcd"
    check "camera_lcd without a camera exits with status 1" exit_status_is "$work/out/status" 1
    check "camera_lcd without a camera names the device" grep -q /dev/video7 "$work/out/stderr"
}

# camera_lcd on DRM while its display goes away and comes back, as a monitor
# switched off and on: QEMU cannot unplug its display, so the kernel's own
# stand-in does, the connector forced off and back to detection through
# sysfs. Frames keep coming, so the check before each one sees both.
camera_lcd_drm_replug_case() {
    make_jpeg a 640 480 17
    run_vm --fb "$(drm_driver)-drm" --feeder "$feeder" --fps 10 --hold --frame "$work/a.jpg" \
        --timeout 60 -- sh "$here/jobs/camera_lcd_drm_replug.sh" "$camera_lcd"
    check "drm: camera_lcd tells the display gone and back, its mode set again" \
        diff -u - <(program_lines "$work/out/camera.stderr" | tail -n +2) <<'EOF'
The display on /dev/dri/card0 went away
The display on /dev/dri/card0 is back: 800x480 set again
EOF
    check "drm: the display shows the frame at (0,0)" display_shows "$work/out/back.ppm" "$work/a.pnm" image
}

# camera-lcd-bench on the emulated core, on its screen and in memory laid out
# as other screens are. Under emulation only the ratio of drawing to decoding
# means something, so the figures go to the log and nothing is timed here.
bench_case() {
    run_vm --fb "$(display_driver)" --timeout 240 -- sh "$here/jobs/bench.sh" "$bench"
    sed 's/^/observed - /' "$work/out/stdout"
    check "camera-lcd-bench exits 0" exit_status_is "$work/out/status" 0
    check "camera-lcd-bench gives a ratio for the screen and each of four layouts" \
        [ "$(grep -c '^ratio draw / decode: [0-9.]*$' "$work/out/stdout")" -eq 5 ]
}
