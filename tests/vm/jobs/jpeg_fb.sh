#!/bin/sh
# The job of the VM cases jpeg_fb_* (jpeg_fb_case in cases/still_pictures.sh):
# prints the screen's geometry as $LCDVM_OUT/info, then for each NAME fills
# the screen with bytes 0x55, runs JPEG_FB on WORK/NAME.jpg and leaves its
# output and exit status (NAME.stdout, .stderr, .status) and the screen's
# memory (NAME.raw) in $LCDVM_OUT; with DUMP 1 also the display (NAME.ppm).
#
#   jpeg_fb.sh SCREEN JPEG_FB WORK DUMP NAME...
screen=$1 jpeg_fb=$2 work=$3 dump=$4
shift 4
"$screen" info /dev/fb0 >"$LCDVM_OUT/info"
for name in "$@"; do
    head -c 1536000 /dev/zero | tr '\0' '\125' >/dev/fb0
    "$jpeg_fb" "$work/$name.jpg" >"$LCDVM_OUT/$name.stdout" 2>"$LCDVM_OUT/$name.stderr"
    echo $? >"$LCDVM_OUT/$name.status"
    cat /dev/fb0 >"$LCDVM_OUT/$name.raw"
    if [ "$dump" = 1 ]; then sh "$LCDVM_OUT/screendump" "$name"; fi
done
