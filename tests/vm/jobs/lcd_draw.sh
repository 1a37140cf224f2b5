#!/bin/sh
# The job of the VM case lcd_draw_bochs (lcd_draw_case in
# cases/still_pictures.sh): clears the screen, runs LCD_DRAW on WORK/frame.jpg
# and then on WORK/logo.bmp at (640,0), and leaves their output and exit
# statuses (frame.*, logo.*), the screen's memory (drawn.raw) and the display
# (drawn.ppm) in $LCDVM_OUT.
#
#   lcd_draw.sh LCD_DRAW WORK
lcd_draw=$1 work=$2
head -c 1536000 /dev/zero >/dev/fb0
"$lcd_draw" "$work/frame.jpg" >"$LCDVM_OUT/frame.stdout" 2>"$LCDVM_OUT/frame.stderr"
echo $? >"$LCDVM_OUT/frame.status"
"$lcd_draw" "$work/logo.bmp" 640 0 >"$LCDVM_OUT/logo.stdout" 2>"$LCDVM_OUT/logo.stderr"
echo $? >"$LCDVM_OUT/logo.status"
cat /dev/fb0 >"$LCDVM_OUT/drawn.raw"
sh "$LCDVM_OUT/screendump" drawn
