# The VM cases of still pictures, sourced by vm_test.sh: jpeg_fb on each
# framebuffer driver, the display check against writers that flush and that
# do not (unflushed_writer), and lcd_draw on bochs and beside the live view.
# shellcheck shell=bash disable=SC2154  # vm_test.sh sets the tools' paths, here and work

# The same picture size, format and colour layout checks on every driver, at
# BITS (default 32) bits per pixel; the layouts differ (red at bit 0 on vfb,
# 16 on bochs and virtio-gpu), so a program that ignores the driver's layout
# fails on one of them.
jpeg_fb_case() {
    local fb=$1 red=$2 bits=${3:-32}
    local size=800x480x$bits
    local images=(
        # name  width height seed  cjpeg options
        "small  320   200    1"
        "full   800   480    2"
        "large  1024  600    3"
        "gray   640   360    4     -grayscale"
    )
    local row names=() dump=0
    for row in "${images[@]}"; do
        # shellcheck disable=SC2086  # the row's words are the arguments
        make_jpeg $row
        names+=("${row%% *}")
    done
    [ "$fb" = vfb ] || dump=1
    run_vm --fb "$fb" --timeout 60 -- \
        sh "$here/jobs/jpeg_fb.sh" "$screen" "$jpeg_fb" "$work" "$dump" "${names[@]}"
    local info=$work/out/info
    check "$fb: 800x480, $bits bits, $((800 * bits / 8))-byte lines" is_lcd_geometry "$info" "$bits"
    # One screen, to the page (the LCD controller's driver rounds it up).
    check "$fb: memory holds exactly one screen" has_value "$info" smem_len $(((800 * 480 * bits / 8 + 4095) / 4096 * 4096))
    local red_bits=8
    [ "$bits" = 32 ] || red_bits=5
    check "$fb: red at bit $red" has_value "$info" red "$red/$red_bits"
    for name in "${names[@]}"; do
        check "$fb: jpeg_fb $name.jpg exits 0" exit_status_is "$work/out/$name.status" 0
        check "$fb: jpeg_fb $name.jpg: screen is the decode at (0,0), black elsewhere" \
            screen_shows "$work/out/$name.raw" "$red" "$work/$name.pnm" screen "$size"
        [ "$fb" = vfb ] ||
            check "$fb: jpeg_fb $name.jpg: the display shows the decode at (0,0), black elsewhere" \
                display_shows "$work/out/$name.ppm" "$work/$name.pnm" screen "$size"
    done
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
    run_vm --fb "$(drm_driver)" --timeout 20 -- sh "$here/jobs/unflushed_writer_flushed.sh" "$screen"
    check "a writer that flushes is on the display at once" \
        display_shows "$work/out/screen.ppm" "$work/pattern3.ppm" screen
    run_vm --fb "$(drm_driver)" --timeout 20 -- sh "$here/jobs/unflushed_writer_unflushed.sh" "$screen"
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

# A 640x480 JPEG frame and a 160x120 BMP logo (seed), and the screen that
# shows the frame at (0,0) and the logo at (640,0) over black, put together
# by ImageMagick: $work/frame.jpg, logo.bmp and expected.ppm.
make_frame_and_logo() {
    local convert=/usr/bin/convert
    [ -x "$convert" ] || die "$convert is missing: apt-get install imagemagick"
    make_jpeg frame 640 480 "$1"
    host_screen pattern 160 120 $(($1 + 1)) >"$work/logo.ppm" || die "vm_screen pattern failed"
    "$convert" "$work/logo.ppm" -type truecolor "BMP3:$work/logo.bmp" || die "convert logo.bmp failed"
    "$convert" -size 800x480 xc:black "$work/frame.pnm" -composite "$work/logo.ppm" \
        -geometry +640+0 -composite -depth 8 "ppm:$work/expected.ppm" || die "convert expected.ppm failed"
}

# lcd_draw on a cleared bochs screen: a JPEG at (0,0), then a BMP logo at
# (640,0) beside it.
lcd_draw_case() {
    make_frame_and_logo 10
    run_vm --fb bochs --timeout 60 -- sh "$here/jobs/lcd_draw.sh" "$lcd_draw" "$work"
    check "bochs: lcd_draw frame.jpg exits 0" exit_status_is "$work/out/frame.status" 0
    check "bochs: lcd_draw logo.bmp 640 0 exits 0" exit_status_is "$work/out/logo.status" 0
    check "bochs: the screen holds the frame at (0,0), the logo at (640,0), black elsewhere" \
        screen_shows "$work/out/drawn.raw" 16 "$work/expected.ppm" screen
    check "bochs: the display shows the frame at (0,0), the logo at (640,0), black elsewhere" \
        display_shows "$work/out/drawn.ppm" "$work/expected.ppm" screen
}

# A logo drawn by lcd_draw at (640,0) beside the live view's 640x480 frames,
# on the board's screen: the frames that come after it leave it there.
lcd_draw_beside_live_view_case() {
    local fb
    fb=$(display_driver)
    make_frame_and_logo 14
    make_jpeg first 640 480 16
    local frames=(--frame "$work/first.jpg") _
    for _ in $(seq 10); do frames+=(--frame "$work/frame.jpg"); done
    run_vm --fb "$fb" --feeder "$feeder" --fps 10 --hold "${frames[@]}" --timeout 60 -- \
        sh "$here/jobs/lcd_draw_beside_live_view.sh" "$camera_lcd" "$lcd_draw" "$work"
    check "$fb: lcd_draw logo.bmp 640 0 exits 0 while camera_lcd runs" exit_status_is "$work/out/logo.status" 0
    check "$fb: ten frames later the screen holds the frame at (0,0), the logo at (640,0), black elsewhere" \
        screen_shows "$work/out/beside.raw" "$(red_of "$fb")" "$work/expected.ppm" screen
    check "$fb: and the display shows them" display_shows "$work/out/beside.ppm" "$work/expected.ppm" screen
}
