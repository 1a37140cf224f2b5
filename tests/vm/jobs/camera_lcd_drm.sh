#!/bin/sh
# The job of the VM cases camera_lcd_drm and camera_lcd_drm_1024x768
# (camera_lcd_drm_case in cases/camera_lcd.sh), on a machine without /dev/fb0:
# runs CAMERA_LCD, takes the display while it draws (running.ppm), runs a
# second one beside it, and takes the display again after the first exits
# (gone.ppm).
#
#   camera_lcd_drm.sh CAMERA_LCD
# shellcheck disable=SC2010,SC2034  # ls -l shows the descriptors' targets; i counts tries
# shellcheck source=tests/vm/jobs/waits.sh
. "${0%/*}/waits.sh"
"$1" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
holds_camera "$pid"
touch "$LCDVM_OUT/feeder.go"
# Told once no frame came for a while: the last one is drawn.
holds_text "$LCDVM_OUT/camera.stderr" 'no frame'
[ -e /dev/fb0 ] && echo fb0=present || echo fb0=absent
sh "$LCDVM_OUT/screendump" running
"$1" >"$LCDVM_OUT/second.stdout" 2>"$LCDVM_OUT/second.stderr"
echo "second_status=$?"
kill $pid
wait $pid
sh "$LCDVM_OUT/screendump" gone
