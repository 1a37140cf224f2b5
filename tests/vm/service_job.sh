#!/bin/sh
# The job of the camera-lcd.service cases, run as root in the test VM's Debian
# root once systemd has booted it with our packages installed and the unit
# enabled (see vm_test.sh). Prints what it saw as key=value lines and leaves
# files in $LCDVM_OUT; the host checks them.
#
#   service_job.sh boot SCREEN   the camera there at boot, held on its first
#                                frame until $LCDVM_OUT/feeder.go
#   service_job.sh late SCREEN   no camera at boot: the USB camera plugged in
#                                (its feeder started), unplugged and back
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

# A USB camera's /dev/video7 is a link to its node.
has_camera_open() {
    node=$(readlink -f /dev/video7)
    for fd in "/proc/$1"/fd/*; do
        [ "$(readlink "$fd")" = "$node" ] && return 0
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
    sleep 3
    echo "status_text=$(prop StatusText)"
    check_snapshot
    systemd-analyze security --no-pager "$unit" >"$out/security.txt" 2>&1 || true
    probe_writes "$pid" / /etc /usr /var/lib /var/log /var/cache /var/tmp /tmp /run /run/lock /run/camera-lcd \
        /dev /dev/shm /dev/mqueue /root /home /dev/fb0 /dev/dri/card0 /dev/video7 /dev/tty7 /dev/tty1 \
        /dev/tty0 /dev/console >"$out/writes.txt"
    echo "console_running=$(console_mode)"
}

# SIGUSR2: the frame shown (the feeder holds its first) as the camera sent
# it, in the unit's runtime directory.
check_snapshot() {
    before=$(lines)
    systemctl kill -s USR2 "$unit"
    more_lines "$before"
    lines_after "$before" >"$out/usr2.txt"
    cp /run/camera-lcd/snapshot.jpg "$out/snapshot.jpg" 2>/dev/null || true
    ls -a /run/camera-lcd >"$out/runtime_dir.txt"
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
    running_again "$pid" $((restart * 10 + 100)) && echo "ready_after_kill=$(($(centis) - t0))"
    dump restarted
    echo "started_after_kill=$(started_after "$t0")"
    echo "restarts_after_kill=$(prop NRestarts)"
}

# Waits up to $2 tenths of a second for another process than $1 to have told
# systemd it is ready (SubState running, for a unit of Type=notify), then a
# moment for its first frame to be drawn.
running_again() {
    for _ in $(seq "$2"); do
        p=$(prop MainPID)
        if [ "$p" != 0 ] && [ "$p" != "$1" ] && [ "$(prop SubState)" = running ]; then
            sleep 0.5
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# SIGSTOP: systemd's watchdog ends the process that no longer tells it is
# alive and starts it again; the picture (wiped meanwhile) is back.
check_sigstop() {
    pid=$(prop MainPID)
    echo "watchdog_usec=$(prop WatchdogUSec)"
    t0=$(centis)
    kill -STOP "$pid"
    chroot /host "$screen" draw /dev/fb0 1 flush 2>/dev/null
    running_again "$pid" 400 && echo "back_after_sigstop=$(($(centis) - t0))"
    dump after_sigstop
    echo "result_after_sigstop=$(journalctl -q -b -o cat -u "$unit" | grep -c 'Watchdog timeout')"
    echo "restarts_after_sigstop=$(prop NRestarts)"
}

check_stop() {
    systemctl stop "$unit"
    echo "result_after_stop=$(prop Result)"
    echo "console_after_stop=$(console_mode)"
}

# Waits up to 10 s for the unit's journal to hold the line $1.
said() {
    for _ in $(seq 100); do
        journal | grep -qxF "$1" && return 0
        sleep 0.1
    done
    return 1
}

# Each video node's name, index and driver; udev's database, for what it
# made of them.
video_nodes() {
    for dev in /sys/class/video4linux/*; do
        echo "${dev##*/} $(cat "$dev/index") $(basename "$(readlink "$dev/device/driver")")"
    done >"$out/nodes.txt"
    udevadm info --export-db >"$out/udev.txt"
}

# No camera at boot: the unit waits, failing and restarted; the USB camera
# plugged in (its gadget bound by the feeder) brings the picture. Unplugged,
# camera_lcd waits for it; plugged in again, the picture (wiped from the
# display meanwhile) is back.
check_late_camera() {
    wait_for_substate auto-restart 100 || true
    echo "substate_without_camera=$(prop SubState)"
    journal >"$out/without_camera.txt"
    systemctl start lcdvm-feeder.service
    t0=$(centis)
    restart=$(restart_delay)
    echo "restart_delay=$restart"
    running_again 0 $((restart * 10 + 150)) && echo "ready_after_plug=$(($(centis) - t0))"
    dump plugged
    echo "started_after_plug=$(started_after "$t0")"
    camera_open && echo camera_open_after_plug=1 || echo camera_open_after_plug=0
    echo "pid_after_plug=$(prop MainPID)"
    echo "video7=$(readlink /dev/video7)"
    video_nodes
    sh "$out/usb" unplug
    t1=$(centis)
    for _ in $(seq 50); do
        [ -L /dev/video7 ] || [ -e /dev/video7 ] || break
        sleep 0.1
    done
    [ -L /dev/video7 ] || [ -e /dev/video7 ] || echo video7_after_unplug=gone
    told=silent
    said 'camera_lcd: the camera /dev/video7 stopped, waiting for it' && told=said
    echo "stopped_after_unplug=$(($(centis) - t1))"
    echo "after_unplug=$told $(prop SubState) $(prop MainPID)"
    chroot /host "$screen" draw /dev/fb0 1 flush 2>/dev/null
    sh "$out/usb" plug
    t1=$(centis)
    said 'camera_lcd: the camera /dev/video7 is back' && echo "back_after_replug=$(($(centis) - t1))"
    sleep 0.5
    dump replugged
}

case "$1" in
boot)
    check_boot
    check_undecodable
    check_kill
    check_sigstop
    check_stop
    ;;
late) check_late_camera ;;
*) exit 2 ;;
esac
echo "boot_time=$(journalctl -q -b -o cat _PID=1 | sed -n 's/^Startup finished in //p')"
journalctl -q -b -o short-monotonic >"$out/journal.txt"
