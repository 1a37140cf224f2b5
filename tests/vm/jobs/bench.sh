#!/bin/sh
# The job of the VM case bench_cortex_a9 (bench_case in cases/camera_lcd.sh):
# camera-lcd-bench on the machine's own screen, then into memory laid out as
# the other layouts; its figures go to stdout.
#
#   bench.sh BENCH
"$1" --rounds 3 --fb || exit
exec "$1" --rounds 3 --layout rgbx --layout bgrx --layout rgb565 --layout bgr565
