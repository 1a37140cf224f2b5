#!/bin/sh
# The job of the VM cases on the USB camera (cases/usb_camera.sh): runs
# CAMERA_LCD while the camera streams, asks for its status line twice a
# second or more apart with SIGUSR1 (the second covers frames only), and takes
# the display (live.ppm). With "replug" it then unplugs the camera, waits
# until camera_lcd says so (unplugged.ppm), plugs it back, waits until
# camera_lcd says it is back (back.ppm) and asks for a third status line.
# camera.stderr in $LCDVM_OUT holds what camera_lcd said.
#
#   camera_lcd_usb.sh CAMERA_LCD [replug]
# shellcheck disable=SC2010,SC2034  # ls -l shows the descriptors' targets; i counts tries
# shellcheck source=tests/vm/jobs/waits.sh
. "${0%/*}/waits.sh"
err=$LCDVM_OUT/camera.stderr
status_lines() { grep -c 'frames drawn' "$err"; }
ask_status() {
    before=$(status_lines)
    kill -USR1 "$pid"
    for i in $(seq 50); do
        [ "$(status_lines)" -gt "$before" ] && return
        sleep 0.1
    done
}
"$1" >"$LCDVM_OUT/camera.stdout" 2>"$err" &
pid=$!
holds_camera "$pid"
sleep 1
ask_status
sleep 2
ask_status
sh "$LCDVM_OUT/screendump" live
if [ "${2:-}" = replug ]; then
    sh "$LCDVM_OUT/usb" unplug
    holds_text "$err" 'stopped, waiting for it'
    echo "video7_after_unplug=$(test -e /dev/video7 && echo 1 || echo 0)"
    sh "$LCDVM_OUT/screendump" unplugged
    sh "$LCDVM_OUT/usb" plug
    holds_text "$err" 'is back'
    sleep 1
    sh "$LCDVM_OUT/screendump" back
    ask_status
fi
echo "alive=$(kill -0 "$pid" 2>/dev/null && echo 1 || echo 0)"
kill "$pid"
