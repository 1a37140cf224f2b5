# The VM cases of camera-lcd.service, sourced by vm_test.sh: our packages,
# made by cpack, installed in a Debian root booted with systemd, with the
# camera there at boot (camera_lcd_service) and plugged in later
# (camera_lcd_service_late_camera); service_job.sh is their job in the VM.
# shellcheck shell=bash disable=SC2154  # vm_test.sh sets the tools' paths, here and work

# Our packages as a user gets them, for the VM's architecture (cpack, as for
# the board), and the setup that installs those a board runs with dpkg (not
# the development package, which needs the -dev packages), notes whether that
# enabled the unit, and enables it: jobs/service_setup.sh, after a line that
# names the packages' folder as the Debian root sees it.
make_packages() {
    [ -f "$cpack_config" ] || die "--cpack-config names no CPackConfig.cmake"
    cpack --config "$cpack_config" -B "$work/debs" >"$work/cpack.log" 2>&1 ||
        die "cpack failed, see $work/cpack.log"
    {
        echo "debs=/host$work/debs"
        cat "$here/jobs/service_setup.sh"
    } >"$work/setup.sh"
}

# camera-lcd.service as a board runs it: our packages installed with dpkg in
# a Debian root booted with systemd, the console left on the screen. The
# feeder holds its first frame, then sends 300 undecodable ones (whole JPEG
# markers around nothing libjpeg can decode) and good ones after them.
camera_lcd_service_case() {
    make_packages
    make_jpeg first 640 480 12
    make_jpeg last 640 480 13
    printf '\377\330\377\331' >"$work/no_image.jpg"
    printf '\377\330\377\300\000\002\377\331' >"$work/bad_length.jpg"
    local frames=(--fps 10 --hold --frame "$work/first.jpg" --fps 50) i
    for i in $(seq 150); do frames+=(--frame "$work/no_image.jpg" --frame "$work/bad_length.jpg"); done
    frames+=(--fps 10)
    for i in $(seq 250); do frames+=(--frame "$work/last.jpg"); done
    run_vm --systemd --setup "$work/setup.sh" --feeder "$feeder" "${frames[@]}" --timeout 150 \
        -- sh "/host$here/service_job.sh" boot "$screen"
    local r=$work/out/stdout o=$work/out
    check "service: dpkg -i installs the unit disabled" has_value "$o/setup.log" enabled_after_dpkg disabled
    check "service: started at boot by itself, the camera open" has_value "$r" camera_open_at_boot 1
    check "service: started without a failure" has_value "$r" restarts_at_boot 0
    check "service: its wait for udev works in its sandbox" has_value "$r" start_pre_status 0
    check "service: runs as a dynamic user in the group video" runs_as_dynamic_video_user "$r"
    check "service: the display shows the camera's frame" display_shows "$o/boot.ppm" "$work/first.pnm" screen
    check "service: SIGUSR1 puts the status line in the journal" status_line_in "$o/usr1.txt"
    check "service: writes nowhere but its private /tmp, /var/tmp and its devices" \
        writes_only_runtime_paths "$o/writes.txt"
    check "service: 300 undecodable frames sent leave at most 5 journal lines" at_most_lines 5 "$o/undecodable.txt"
    check "service: and the view goes on in the same process" \
        has_value "$r" pid_after_undecodable "$(value "$r" pid_at_boot)"
    check "service: the display shows the good frame after them" \
        display_shows "$o/after_undecodable.ppm" "$work/last.pnm" screen
    check "service: kill -9: restarted once" has_value "$r" restarts_after_kill 1
    check "service: the picture wiped from the display after the SIGKILL" \
        display_lacks "$o/wiped.ppm" "$work/last.pnm"
    check "service: the picture is back within the restart delay and 2 s" \
        display_shows "$o/restarted.ppm" "$work/last.pnm" image
    check "service: systemctl stop ends it cleanly" has_value "$r" result_after_stop success
    check "service: the console in front is in graphics mode while it runs" \
        has_value "$r" console_running graphics
    check "service: and in text mode while it waits to be restarted after a SIGKILL" \
        has_value "$r" console_after_kill text
    check "service: and in text mode after systemctl stop" has_value "$r" console_after_stop text
    check "service: systemd-analyze security rates its exposure at most $EXPOSURE_MAX" \
        exposure_at_most "$o/security.txt"
    # The loopback device holds two buffers: one the reader has not taken
    # yet is overwritten, so the count may be a little under 300.
    echo "observed - the status line after them:" \
        "$(grep -o '[0-9]* undecodable' "$o/usr1_after_undecodable.txt")"
    echo "observed - systemd-analyze security: overall exposure $(exposure "$o/security.txt"), for" \
        "$(awk '$1 == "✗" {printf "%s%s", sep, $2; sep = ", "}' "$o/security.txt")"
    echo "observed - camera_lcd started again $(value "$r" started_after_kill) s after the SIGKILL" \
        "(restart delay $(value "$r" restart_delay) s); the display taken" \
        "$(seconds "$(value "$r" restarted_asked)") s after it"
    echo "observed - systemd: startup finished in $(value "$r" boot_time)"
}

# No camera at boot: the service waits; the camera plugged in brings the picture.
camera_lcd_service_late_camera_case() {
    make_packages
    make_jpeg last 640 480 14
    local frames=(--fps 10) i
    # shellcheck disable=SC2034  # i counts the frames
    for i in $(seq 150); do frames+=(--frame "$work/last.jpg"); done
    run_vm --systemd --setup "$work/setup.sh" --late-camera --feeder "$feeder" "${frames[@]}" \
        --timeout 60 -- sh "/host$here/service_job.sh" late "$screen"
    local r=$work/out/stdout
    check "service without a camera: waits to be started again" \
        has_value "$r" substate_without_camera auto-restart
    check "service without a camera: says why" grep -q 'cannot start the camera /dev/video7' \
        "$work/out/without_camera.txt"
    check "service: the camera plugged in, the picture comes within the restart delay and 2 s" \
        display_shows "$work/out/plugged.ppm" "$work/last.pnm" image
    check "service: and has the camera open" has_value "$r" camera_open_after_plug 1
    echo "observed - camera_lcd started $(value "$r" started_after_plug) s after the camera came" \
        "($(grep -c 'cannot start the camera' "$work/out/without_camera.txt") failed starts before," \
        "restart delay $(value "$r" restart_delay) s); the display taken" \
        "$(seconds "$(value "$r" plugged_asked)") s after it"
    echo "observed - systemd: startup finished in $(value "$r" boot_time)"
}

# Hundredths of a second as seconds.
seconds() { printf '%d.%02d\n' $((${1:-0} / 100)) $((${1:-0} % 100)); }

status_line_in() {
    [ "$(grep -c 'camera_lcd: [0-9]* frames drawn since start' "$1")" = 1 ] && return
    echo "  $1 holds: $(cat "$1")" >&2
    false
}

# Dynamic users get uids from 61184 to 65519.
runs_as_dynamic_video_user() {
    local uid groups video
    uid=$(value "$1" uid) groups=" $(value "$1" groups) " video=$(value "$1" video_gid)
    [ "${uid:-0}" -ge 61184 ] && [ "$uid" -le 65519 ] && [[ "$groups" == *" $video "* ]] && return
    echo "  uid '$uid', groups '$groups', video is '$video'" >&2
    false
}

# Each line of the probe says "PATH writable" or "PATH not writable: why";
# only these may be writable, and they must be.
writes_only_runtime_paths() {
    local writable=" /tmp /var/tmp /dev/fb0 /dev/dri/card0 /dev/video7 /dev/tty7 " path verdict want wrong=0
    [ "$(wc -l <"$1")" -ge 10 ] || wrong=1
    while read -r path verdict _; do
        want=not
        [[ "$writable" == *" $path "* ]] && want=writable
        [ "$verdict" = "$want" ] || wrong=1
    done <"$1"
    [ "$wrong" = 0 ] && return
    sed 's/^/  /' "$1" >&2
    false
}

at_most_lines() {
    [ "$(wc -l <"$2")" -le "$1" ] && return
    echo "  $2 holds $(wc -l <"$2") lines:" >&2
    head -n 20 "$2" >&2
    false
}

# systemd-analyze's overall exposure, from 0 to 10, lower is better: what the
# unit reaches under Debian 12's systemd.
EXPOSURE_MAX=0.4
exposure() { sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$1"; }
exposure_at_most() {
    local score
    score=$(exposure "$1")
    [ -n "$score" ] && awk -v s="$score" -v m="$EXPOSURE_MAX" 'BEGIN {exit !(s <= m)}' && return
    echo "  overall exposure: ${score:-not found in $1}" >&2
    false
}
