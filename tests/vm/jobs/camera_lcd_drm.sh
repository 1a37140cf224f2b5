#!/bin/sh
# The job of the VM cases camera_lcd_drm and camera_lcd_drm_1024x768
# (camera_lcd_drm_case in cases/camera_lcd.sh), on a machine without /dev/fb0:
# runs CAMERA_LCD, takes the display while it draws (running.ppm), runs a
# second one beside it, and takes the display again after the first exits
# (gone.ppm).
#
#   camera_lcd_drm.sh CAMERA_LCD
# shellcheck disable=SC2010,SC2034  # ls -l shows the descriptors' targets; i counts tries
"$1" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
for i in $(seq 100); do
    ls -l "/proc/$pid/fd" | grep -q /dev/video7 && break
    sleep 0.1
done
touch "$LCDVM_OUT/feeder.go"
# Told once no frame came for a while: the last one is drawn.
for i in $(seq 100); do
    grep -q 'no frame' "$LCDVM_OUT/camera.stderr" && break
    sleep 0.1
done
[ -e /dev/fb0 ] && echo fb0=present || echo fb0=absent
sh "$LCDVM_OUT/screendump" running
"$1" >"$LCDVM_OUT/second.stdout" 2>"$LCDVM_OUT/second.stderr"
echo "second_status=$?"
kill $pid
wait $pid
sh "$LCDVM_OUT/screendump" gone
