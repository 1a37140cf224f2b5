#!/bin/sh
# The job of the camera-lcd.service cases, run as root in the test VM's Debian
# root once systemd has booted it with our packages installed and the unit
# enabled (see vm_test.sh). Prints what it saw as key=value lines and leaves
# files in $LCDVM_OUT; the host checks them.
#
#   service_job.sh boot SCREEN   the camera there at boot, held on its first
#                                frame until $LCDVM_OUT/feeder.go
#   service_job.sh late SCREEN   no camera at boot: loads it, starts the feeder
#
# SCREEN is vm_screen, a program of the host's root (/host here).
set -eu

unit=camera-lcd.service
screen=$2
out=$LCDVM_OUT

prop() { systemctl show -P "$1" "$unit"; }
# Hundredths of a second since boot, read without starting a program.
centis() {
    read -r up _ </proc/uptime
    echo "${up%.*}${up#*.}"
}
journal() { journalctl -q -b -o cat -u "$unit"; }
lines() { journal | wc -l; }
# The unit's journal lines after the first $1.
lines_after() { journal | tail -n +$(($1 + 1)); }
# The mode of the VT in front.
console_mode() { chroot /host "$screen" vt /dev/tty0 2>&1 | sed -n "s/^mode=//p"; }
# The display as it is now, as $out/NAME.ppm, through the host (run_in_vm.sh's
# script, sourced: a new shell would cost time).
# shellcheck source=/dev/null
dump() { . "$out/screendump"; }

has_camera_open() {
    for fd in "/proc/$1"/fd/*; do
        [ "$(readlink "$fd")" = /dev/video7 ] && return 0
    done
    return 1
}

# Waits up to $2 tenths of a second for the unit to be in the state $1.
wait_for_substate() {
    for _ in $(seq "$2"); do
        [ "$(prop SubState)" = "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# Waits up to 10 s for camera_lcd to have the camera open.
camera_open() {
    for _ in $(seq 100); do
        pid=$(prop MainPID)
        [ "$pid" != 0 ] && has_camera_open "$pid" && return 0
        sleep 0.1
    done
    return 1
}

# Seconds from the time $1 (from centis) to the start of the unit's program.
started_after() {
    awk -v t="$1" -v us="$(prop ExecMainStartTimestampMonotonic)" 'BEGIN {printf "%.1f\n", us / 1e6 - t / 100}'
}

# Waits up to 5 s for the journal to hold more than $1 lines, then a moment
# for the rest of what came at once.
more_lines() {
    for _ in $(seq 50); do
        [ "$(lines)" -gt "$1" ] && break
        sleep 0.1
    done
    sleep 0.3
}

# Takes the picture NAME a fifth of a second before $3 seconds after the time
# $2 (from centis), so that the host has it before they are up (sleep wakes a
# little late), and prints NAME_asked=HUNDREDTHS after $2 at which it was
# asked for.
dump_at() {
    left=$(($2 + $3 * 100 - 20 - $(centis)))
    [ "$left" -le 0 ] || sleep "$((left / 100)).$(printf %02d $((left % 100)))"
    echo "$1_asked=$(($(centis) - $2))"
    dump "$1"
}

# The unit's restart delay in whole seconds.
restart_delay() { prop RestartUSec | sed -n 's/^\([0-9]*\)s$/\1/p'; }

# Opens each path for writing (in a folder: creates a file) as camera_lcd
# could: in its control group, so under its device list, in its mount
# namespace, as its user with its groups. One line a path.
# shellcheck disable=SC2016  # expanded by the inner shells
probe='for path; do
    file=$path
    [ -d "$path" ] && file=$path/.probe
    if why=$(true 2>&1 >>"$file"); then
        [ "$file" = "$path" ] || rm "$file"
        echo "$path writable"
    else
        echo "$path not writable: $why"
    fi
done'

probe_writes() {
    pid=$1
    shift
    uid=$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")
    gid=$(awk '/^Gid:/ {print $2}' "/proc/$pid/status")
    groups=$(awk '/^Groups:/ {$1 = ""; print}' "/proc/$pid/status" | xargs | tr ' ' ,)
    cgroup=/sys/fs/cgroup$(sed -n 's/^0:://p' "/proc/$pid/cgroup")
    # shellcheck disable=SC2016  # expanded by the inner shell
    sh -c 'echo $$ >"$1/cgroup.procs" || exit 1
        pid=$2 uid=$3 gid=$4 groups=$5 script=$6
        shift 6
        exec nsenter -t "$pid" -m -- setpriv --reuid "$uid" --regid "$gid" --groups "$groups" -- \
            sh -c "$script" - "$@"' - "$cgroup" "$pid" "$uid" "$gid" "$groups" "$probe" "$@"
}

# At boot: who runs it, what it shows, the status line, its sandbox.
check_boot() {
    camera_open && echo camera_open_at_boot=1 || echo camera_open_at_boot=0
    pid=$(prop MainPID)
    echo "pid_at_boot=$pid"
    echo "restarts_at_boot=$(prop NRestarts)"
    echo "start_pre_status=$(prop ExecStartPre | sed -n 's/.* status=\([^ ]*\) .*/\1/p')"
    echo "uid=$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")"
    echo "groups=$(awk '/^Groups:/ {$1 = ""; print}' "/proc/$pid/status" | xargs)"
    echo "video_gid=$(getent group video | cut -d : -f 3)"
    sleep 1
    dump boot
    before=$(lines)
    systemctl kill -s USR1 "$unit"
    more_lines "$before"
    lines_after "$before" >"$out/usr1.txt"
    systemd-analyze security --no-pager "$unit" >"$out/security.txt" 2>&1 || true
    probe_writes "$pid" / /etc /usr /var/lib /var/log /var/cache /var/tmp /tmp /run /run/lock \
        /dev /dev/shm /dev/mqueue /root /home /dev/fb0 /dev/dri/card0 /dev/video7 /dev/tty7 /dev/tty1 \
        /dev/tty0 /dev/console >"$out/writes.txt"
    echo "console_running=$(console_mode)"
}

# Undecodable frames, then good ones: the journal stays short, the view goes on.
check_undecodable() {
    before=$(lines)
    touch "$out/feeder.go"
    for _ in $(seq 300); do
        grep -q 'last\.jpg$' "$out/feeder.log" && break
        sleep 0.1
    done
    sleep 2
    lines_after "$before" >"$out/undecodable.txt"
    echo "pid_after_undecodable=$(prop MainPID)"
    dump after_undecodable
    before=$(lines)
    systemctl kill -s USR1 "$unit"
    more_lines "$before"
    lines_after "$before" >"$out/usr1_after_undecodable.txt"
}

# SIGKILL: restarted after the unit's delay. The picture is wiped from the
# display at the kill (a test pattern drawn over it) and must be back on it
# by the delay and 2 s.
check_kill() {
    restart=$(restart_delay)
    echo "restart_delay=$restart"
    pid=$(prop MainPID)
    t0=$(centis)
    kill -9 "$pid"
    chroot /host "$screen" draw /dev/fb0 1 flush 2>/dev/null
    dump wiped
    wait_for_substate auto-restart 30 || true
    echo "console_after_kill=$(console_mode)"
    dump_at restarted "$t0" $((restart + 2))
    echo "started_after_kill=$(started_after "$t0")"
    echo "restarts_after_kill=$(prop NRestarts)"
}

check_stop() {
    systemctl stop "$unit"
    echo "result_after_stop=$(prop Result)"
    echo "console_after_stop=$(console_mode)"
}

# No camera at boot: the unit waits, failing and restarted; the camera
# plugged in (the module loaded, its feeder writing) brings the picture.
check_late_camera() {
    wait_for_substate auto-restart 100 || true
    echo "substate_without_camera=$(prop SubState)"
    journal >"$out/without_camera.txt"
    modprobe v4l2loopback
    systemctl start lcdvm-feeder.service
    t0=$(centis)
    restart=$(restart_delay)
    echo "restart_delay=$restart"
    dump_at plugged "$t0" $((restart + 2))
    echo "started_after_plug=$(started_after "$t0")"
    camera_open && echo camera_open_after_plug=1 || echo camera_open_after_plug=0
}

case "$1" in
boot)
    check_boot
    check_undecodable
    check_kill
    check_stop
    ;;
late) check_late_camera ;;
*) exit 2 ;;
esac
echo "boot_time=$(journalctl -q -b -o cat _PID=1 | sed -n 's/^Startup finished in //p')"
journalctl -q -b -o short-monotonic >"$out/journal.txt"
