# The VM cases of camera_lcd on a USB camera, sourced by vm_test.sh: the
# kernel's uvcvideo drives a UVC gadget on dummy_hcd's emulated bus
# (run_in_vm.sh --usb-camera), as it drives a board's webcam. Intervals are
# in 100 ns units, as UVC gives them.
# shellcheck shell=bash disable=SC2154  # vm_test.sh sets the tools' paths, here and work

usb_camera() { echo --usb-camera --uvc-feeder "$uvc_feeder"; }

# A camera whose own interval (1/10 s) is slower than its best (1/30 s), at
# 640x480 and 320x240: the live view at 640x480, streamed at 30 frames a second, its
# capture to screen told; unplugged, the last picture stays and the view
# waits; plugged in again, the picture is back.
camera_lcd_usb_case() {
    make_jpeg a 640 480 20
    make_jpeg b 640 480 21
    # shellcheck disable=SC2046  # the options are words
    run_vm --fb bochs $(usb_camera) --camera-size 640x480 --camera-size 320x240 \
        --camera-interval 1000000,333333 --camera-default 1000000 --repeat \
        --frame "$work/a.jpg" --frame "$work/b.jpg" --timeout 60 \
        -- sh "$here/jobs/camera_lcd_usb.sh" "$camera_lcd" replug
    local err=$work/out/camera.stderr
    grep 'frames drawn' "$err" | sed -n '2s/^/observed - the status line over frames alone: /p'
    check "usb: the library asks for the fastest interval and says so" grep -qx \
        'Camera /dev/video7: MJPEG 640x480 at 30 frames a second' "$err"
    check "usb: the camera streams at 1/30 s" grep -q '^streamon 640x480 333333$' "$work/out/feeder.log"
    # The rates and times under emulation depend on the host: figures, not checks.
    echo "observed - the camera gave $(camera_rate "$err") frames a second"
    check "usb: the status line tells capture to screen" grep -Eq \
        '; capture to screen [0-9.]+ ms median, [0-9.]+ ms at most' "$err"
    check "usb: the display shows the frame at (0,0)" display_shows "$work/out/live.ppm" "$work/b.pnm" image
    check "usb: unplugged, /dev/video7 is gone" has_value "$work/out/stdout" video7_after_unplug 0
    check "usb: unplugged, the last picture stays" display_shows "$work/out/unplugged.ppm" "$work/b.pnm" image
    check "usb: plugged in again, the picture is back" display_shows "$work/out/back.ppm" "$work/b.pnm" image
    check "usb: camera_lcd tells the camera gone and back, and streaming started twice" \
        diff -u - <(
            program_lines "$err" | grep -v 'frames drawn'
            grep -o '[0-9]* streams started' "$err" | tail -n 1
        ) <<'EOF2'
Unable to dequeue a buffer (VIDIOC_DQBUF): No such device (19)
camera_lcd: the camera /dev/video7 stopped, waiting for it
camera_lcd: the camera /dev/video7 is back
2 streams started
EOF2
}

# A camera whose sizes are all larger than the screen: the smallest one
# streams, its top-left 800x480 shown.
camera_lcd_usb_large_case() {
    make_jpeg wide 1280 720 22
    # shellcheck disable=SC2046  # the options are words
    run_vm --fb bochs $(usb_camera) --camera-size 1920x1080 --camera-size 1280x720 --repeat \
        --frame "$work/wide.jpg" --timeout 60 -- sh "$here/jobs/camera_lcd_usb.sh" "$camera_lcd"
    check "usb 1280x720 and 1920x1080: the smaller streams" grep -q \
        '^Camera /dev/video7: MJPEG 1280x720 at ' "$work/out/camera.stderr"
    check "usb 1280x720: the display shows its top-left 800x480" \
        display_shows "$work/out/live.ppm" "$work/wide.pnm" image
}

# Frames larger than the camera announced (dwMaxVideoFrameSize), which
# uvcvideo with nodrop=1 hands over cut short and flagged as errors: each is
# skipped, and the view goes on to the frames after them.
camera_lcd_usb_oversized_case() {
    make_jpeg a 640 480 23 -quality 50
    make_jpeg big 640 480 24 -quality 100
    make_jpeg last 640 480 25 -quality 50
    local small big frames=()
    small=$(stat -c %s "$work/a.jpg" "$work/last.jpg" | sort -n | tail -n 1)
    big=$(stat -c %s "$work/big.jpg")
    [ "$big" -gt $((small + 2)) ] || die "big.jpg ($big bytes) is not larger than the others ($small)"
    for _ in 1 2 3 4 5; do frames+=(--frame "$work/a.jpg" --frame "$work/big.jpg"); done
    # shellcheck disable=SC2046  # the options are words
    run_vm --fb bochs $(usb_camera) --uvc-nodrop --camera-max-frame $(((small + big) / 2)) \
        --fps 10 --repeat "${frames[@]}" --frame "$work/last.jpg" --timeout 60 \
        -- sh "$here/jobs/camera_lcd_usb.sh" "$camera_lcd"
    local err=$work/out/camera.stderr
    grep -o 'camera: [0-9]* delivered, [0-9]* skipped' "$err" | tail -n 1 | sed 's/^/observed - /'
    check "usb nodrop=1: the 5 oversized frames skipped" grep -q '; camera: [0-9]* delivered, 5 skipped' "$err"
    check "usb nodrop=1: nothing but status lines said" [ -z "$(program_lines "$err" | grep -v 'frames drawn')" ]
    check "usb nodrop=1: the display shows the frame after them" \
        display_shows "$work/out/live.ppm" "$work/last.pnm" image
    check "usb nodrop=1: the view goes on" has_value "$work/out/stdout" alive 1
}

# The frames a second the camera gave between the first two status lines:
# delivered, skipped and dropped alike, as decoding under emulation may not
# keep up with them.
camera_rate() {
    grep 'frames drawn' "$1" | head -n 2 |
        sed 's/.* in the last \([0-9.]*\) s .*camera: \([0-9]*\) delivered, \([0-9]*\) skipped, \([0-9]*\) dropped.*/\1 \2 \3 \4/' |
        awk 'NR == 1 {n = $2 + $3 + $4} NR == 2 {printf "%d\n", ($2 + $3 + $4 - n) / $1}'
}
