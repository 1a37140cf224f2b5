#!/bin/sh
# The job of the VM case camera_lcd_console (camera_lcd_console_case in
# cases/console_pan_mode.sh), on a board-like machine: runs camera_lcd as the
# service runs it (SERVICE/camera_lcd, with the camera library beside it, as
# user 65534 with tty2 as its terminal), then CAMERA_LCD as root, and prints
# the VTs' modes (vm_screen vt) and takes the display at each step.
#
#   camera_lcd_console.sh SCREEN CAMERA_LCD SERVICE
# shellcheck disable=SC2010  # ls -l shows the descriptors' targets
# shellcheck source=tests/vm/jobs/waits.sh
. "${0%/*}/waits.sh"
screen=$1 camera_lcd=$2 service=$3
started() {
    holds_camera "$1"
    sleep 1
}
# Unblanks the console as a key pressed at it would, and starts its blanking
# delay again; a VT in graphics mode takes no notice.
wake() { printf '\033[13]' >/dev/tty1; }
# What udev and systemd do on a board: the devices open to the group video,
# the service's VT owned by its user.
chmod 666 /dev/fb0 /dev/video7
chown 65534 /dev/tty2
LD_LIBRARY_PATH=$service "$screen" service /dev/tty2 "$service/camera_lcd" 2>"$LCDVM_OUT/service.stderr" &
pid=$!
started $pid
"$screen" vt /dev/tty2 | sed 's/^/service_/'
sh "$LCDVM_OUT/screendump" service
kill $pid
wait $pid
"$screen" vt /dev/tty2 | sed 's/^/service_ended_/'
wake
"$camera_lcd" >"$LCDVM_OUT/camera.stdout" 2>"$LCDVM_OUT/camera.stderr" &
pid=$!
started $pid
# The first frame, repeated at 10 fps: 12 dumps, over 5 s where the host is not busy.
echo "dumps_from=$(cut -d ' ' -f 1 /proc/uptime)"
# shellcheck disable=SC2086  # a number
for i in $(seq 12); do
    wake
    sh "$LCDVM_OUT/screendump" held$i
    sleep 0.1
done
echo "dumps_to=$(cut -d ' ' -f 1 /proc/uptime)"
touch "$LCDVM_OUT/feeder.go"
holds_text "$LCDVM_OUT/camera.stderr" 'no frame'
wake
sh "$LCDVM_OUT/screendump" away
printf '\033[H\033[J' >/dev/tty1
for i in $(seq 20); do printf '%080d\n' 0 | tr 0 '#'; done >/dev/tty1
echo '<2>camera_lcd test: a critical kernel message' >/dev/kmsg
sleep 5
sh "$LCDVM_OUT/screendump" later
"$screen" vt /dev/tty1 | sed 's/^/held_/'
kill $pid
wait $pid
"$screen" vt /dev/tty1 | sed 's/^/ended_/'
# No more blanking (ESC [9;0]): the dump may come later than 2 s on a busy host.
printf '\033[9;0]' >/dev/tty1
wake
sleep 0.5
sh "$LCDVM_OUT/screendump" ended
"$screen" lit "$LCDVM_OUT/ended.ppm" | sed 's/^/ended_lit=/'
