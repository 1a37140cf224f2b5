#!/bin/sh
# The job of the VM case lcd_draw_beside_live_view (in cases/still_pictures.sh):
# runs CAMERA_LCD, draws WORK/logo.bmp at (640,0) with LCD_DRAW while the
# feeder holds its first frame, lets the other frames come, and leaves the
# logo's exit status (logo.status), the screen's memory (beside.raw) and the
# display (beside.ppm) in $LCDVM_OUT.
#
#   lcd_draw_beside_live_view.sh CAMERA_LCD LCD_DRAW WORK
# shellcheck source=tests/vm/jobs/waits.sh
. "${0%/*}/waits.sh"
camera_lcd=$1 lcd_draw=$2 work=$3
"$camera_lcd" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
holds_camera $pid
sleep 0.5
"$lcd_draw" "$work/logo.bmp" 640 0 >"$LCDVM_OUT/logo.stdout" 2>"$LCDVM_OUT/logo.stderr"
echo $? >"$LCDVM_OUT/logo.status"
touch "$LCDVM_OUT/feeder.go"
holds_text "$LCDVM_OUT/feeder.log" '^done'
sleep 0.5
cat /dev/fb0 >"$LCDVM_OUT/beside.raw"
sh "$LCDVM_OUT/screendump" beside
kill $pid
