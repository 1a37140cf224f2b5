#!/bin/sh
# The job of the VM case camera_lcd_mode_vfb (camera_lcd_mode_case in
# cases/console_pan_mode.sh), on vfb: changes the mode to 1024x600x16 and
# back under CAMERA_LCD (vm_screen mode), marks the memory after the 16-bit
# screen, and leaves the screen's memory in each mode in $LCDVM_OUT.
#
#   camera_lcd_mode.sh SCREEN CAMERA_LCD
# shellcheck disable=SC2010,SC2034  # ls -l shows the descriptors' targets; i counts tries
# shellcheck source=tests/vm/jobs/waits.sh
. "${0%/*}/waits.sh"
screen=$1 camera_lcd=$2
"$camera_lcd" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
holds_camera "$pid"
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
