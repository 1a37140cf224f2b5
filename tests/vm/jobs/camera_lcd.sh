#!/bin/sh
# The job of the VM case camera_lcd and its variants (camera_lcd_case in
# cases/camera_lcd.sh): runs CAMERA_LCD while the feeder's frames come and
# after they stop, prints key=value lines on whether it ran on, what it said
# and the CPU it used while it waited, and leaves the screen's memory
# (camera.raw) and the display (camera.ppm) in $LCDVM_OUT.
#
#   camera_lcd.sh CAMERA_LCD
# shellcheck disable=SC2010,SC2034,SC2086  # ls -l shows the descriptors' targets; i counts tries; $1 is a pid
# shellcheck source=tests/vm/jobs/waits.sh
. "${0%/*}/waits.sh"
cpu_ticks() { awk '{print $14 + $15}' /proc/$1/stat; }
lines() { wc -l <"$LCDVM_OUT/camera.stderr"; }
alive() { kill -0 "$1" 2>/dev/null && echo 1 || echo 0; }
"$1" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
# The feeder holds its first frame until camera_lcd has the camera open.
holds_camera "$pid"
sleep 0.5
touch "$LCDVM_OUT/feeder.go"
for i in $(seq 300); do
    grep -q '^done' "$LCDVM_OUT/feeder.log" && break
    sleep 0.1
done
echo "alive_at_end_of_frames=$(alive $pid)"
at_end=$(lines)
echo "lines_at_end_of_frames=$at_end"
# Its wait for a frame times out after a while; it should tell once, then stay quiet.
for i in $(seq 80); do
    [ "$(lines)" -gt "$at_end" ] && break
    sleep 0.1
done
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
