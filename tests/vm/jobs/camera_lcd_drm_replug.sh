#!/bin/sh
# The job of the VM case camera_lcd_drm_replug (camera_lcd_drm_replug_case in
# cases/camera_lcd.sh): runs CAMERA_LCD on DRM, forces every connector off and
# back to detection through sysfs, and takes the display after (back.ppm).
#
#   camera_lcd_drm_replug.sh CAMERA_LCD
# shellcheck disable=SC2010,SC2034  # ls -l shows the descriptors' targets; i counts tries
# shellcheck source=tests/vm/jobs/waits.sh
. "${0%/*}/waits.sh"
"$1" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
holds_camera "$pid"
sleep 1
for status in /sys/class/drm/card0-*/status; do echo off >"$status"; done
sleep 1
for status in /sys/class/drm/card0-*/status; do echo detect >"$status"; done
sleep 1
sh "$LCDVM_OUT/screendump" back
kill $pid
