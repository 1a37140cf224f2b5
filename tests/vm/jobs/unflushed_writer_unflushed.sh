#!/bin/sh
# The second job of the VM case unflushed_writer (unflushed_writer_case in
# cases/still_pictures.sh): SCREEN (vm_screen) draws pattern 1 without a
# flush; a second later the screen's memory (late.raw) and the display
# (late.ppm) are taken. Then it draws pattern 2 without a flush and stops
# the machine at once.
#
#   unflushed_writer_unflushed.sh SCREEN
screen=$1
"$screen" draw /dev/fb0 1
sleep 1
cat /dev/fb0 >"$LCDVM_OUT/late.raw"
sh "$LCDVM_OUT/screendump" late
touch "$LCDVM_OUT/vm-stopping"
exec "$screen" draw /dev/fb0 2 stop
