#!/bin/sh
# The job of the VM case panned (panned_case in cases/console_pan_mode.sh), on
# a screen with memory for two: pans the display to the second before
# JPEG_FB shows PICTURE and before CAMERA_LCD starts, and again while it
# runs; prints the screen's geometry after each (vm_screen info) and takes
# the display.
#
#   panned.sh SCREEN JPEG_FB CAMERA_LCD PICTURE
# shellcheck disable=SC2010,SC2034  # ls -l shows the descriptors' targets; i counts tries
# shellcheck source=tests/vm/jobs/waits.sh
. "${0%/*}/waits.sh"
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
holds_camera "$pid"
sleep 1
"$screen" info /dev/fb0 | sed 's/^/camera_/'
sh "$LCDVM_OUT/screendump" camera
# Panned while it runs: noticed before the next frame, and panned back.
"$screen" pan /dev/fb0 0 480
sleep 1
"$screen" info /dev/fb0 | sed 's/^/moved_/'
sh "$LCDVM_OUT/screendump" moved
kill $pid
