#!/bin/sh
# The job of the VM case camera_lcd_latency (camera_lcd_latency_case in
# cases/camera_lcd.sh): runs CAMERA_LCD for 3 s of frames, then asks for its
# status line with SIGUSR1; camera.stderr in $LCDVM_OUT holds it.
#
#   camera_lcd_latency.sh CAMERA_LCD
# shellcheck disable=SC2010,SC2034  # ls -l shows the descriptors' targets; i counts tries
# shellcheck source=tests/vm/jobs/waits.sh
. "${0%/*}/waits.sh"
"$1" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
holds_camera "$pid"
sleep 3
kill -USR1 $pid
for i in $(seq 50); do
    grep -q 'frames drawn' "$LCDVM_OUT/camera.stderr" && break
    sleep 0.1
done
touch "$LCDVM_OUT/feeder.go"
kill $pid
