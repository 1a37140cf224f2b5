# The VM cases of camera-lcd.service, sourced by vm_test.sh: our packages,
# made by cpack, installed in a Debian root booted with systemd, with the
# camera there at boot (camera_lcd_service) and a USB camera plugged in
# later (camera_lcd_service_late_camera); service_job.sh is their job in the VM.
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
    # shellcheck disable=SC2034  # i counts the frames
    for i in $(seq 700); do frames+=(--frame "$work/last.jpg"); done
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
    check "service: systemctl show -p StatusText tells the frames drawn" \
        grep -qE '^status_text=[0-9.]+ frames drawn a second, 0 undecodable' "$r"
    check "service: systemctl kill -s USR2 leaves the frame shown in /run/camera-lcd/snapshot.jpg" \
        cmp -s "$o/snapshot.jpg" "$work/first.jpg"
    check "service: and nothing else there" has_lines "$o/runtime_dir.txt" ". .. snapshot.jpg"
    check "service: writes nowhere but its private /tmp, /var/tmp, /run/camera-lcd and its devices" \
        writes_only_runtime_paths "$o/writes.txt"
    check "service: 300 undecodable frames sent leave at most 5 journal lines" at_most_lines 5 "$o/undecodable.txt"
    check "service: and the view goes on in the same process" \
        has_value "$r" pid_after_undecodable "$(value "$r" pid_at_boot)"
    check "service: the display shows the good frame after them" \
        display_shows "$o/after_undecodable.ppm" "$work/last.pnm" screen
    check "service: kill -9: restarted once" has_value "$r" restarts_after_kill 1
    check "service: the picture wiped from the display after the SIGKILL" \
        display_lacks "$o/wiped.ppm" "$work/last.pnm"
    check "service: ready again after the SIGKILL within the restart delay and 10 s" \
        grep -q '^ready_after_kill=' "$r"
    check "service: the picture is back once it is ready" \
        display_shows "$o/restarted.ppm" "$work/last.pnm" image
    check "service: SIGSTOP: the watchdog ends it and it is started again" \
        has_value "$r" restarts_after_sigstop 2
    check "service: the picture is back after it" display_shows "$o/after_sigstop.ppm" "$work/last.pnm" image
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
        "(restart delay $(value "$r" restart_delay) s), ready $(seconds "$(value "$r" ready_after_kill)") s after it"
    echo "observed - SIGSTOP: ready again $(seconds "$(value "$r" back_after_sigstop)") s after it" \
        "(watchdog $(value "$r" watchdog_usec)); systemd's status: $(value "$r" status_text)"
    echo "observed - systemd: startup finished in $(value "$r" boot_time)"
}

# No camera at boot: the service waits; a USB camera plugged in brings the
# picture, /dev/video7 made by udev from the rule a board installs; unplugged,
# the service waits for it; plugged in again, the picture is back.
camera_lcd_service_late_camera_case() {
    make_packages
    echo "install -m 644 /host${here%/tests/vm}/docs/udev/70-usb-camera-video7.rules /etc/udev/rules.d/" \
        >>"$work/setup.sh"
    make_jpeg last 640 480 14
    run_vm --systemd --setup "$work/setup.sh" --late-camera --usb-camera --uvc-feeder "$uvc_feeder" \
        --fps 10 --repeat --frame "$work/last.jpg" --timeout 60 -- sh "/host$here/service_job.sh" late "$screen"
    local r=$work/out/stdout o=$work/out
    check "service without a camera: waits to be started again" \
        has_value "$r" substate_without_camera auto-restart
    check "service without a camera: says why" grep -q 'cannot start the camera /dev/video7' \
        "$work/out/without_camera.txt"
    check "service: the camera plugged in, it is ready within the restart delay and 15 s" \
        grep -q '^ready_after_plug=' "$r"
    check "service: and the picture comes once it is ready" \
        display_shows "$work/out/plugged.ppm" "$work/last.pnm" image
    check "service: and has the camera open" has_value "$r" camera_open_after_plug 1
    check "udev: /dev/video7 is its link to uvcvideo's capture node, no other node's" \
        links_video7_to_uvc_capture "$r" "$o"
    check "service: the camera unplugged, /dev/video7 goes" has_value "$r" video7_after_unplug gone
    check "service: and camera_lcd says the camera stopped and waits in the same process" \
        has_value "$r" after_unplug "said running $(value "$r" pid_after_plug)"
    check "service: the camera plugged in again, the picture is back" \
        display_shows "$o/replugged.ppm" "$work/last.pnm" image
    echo "observed - camera_lcd started $(value "$r" started_after_plug) s after the camera came" \
        "($(grep -c 'cannot start the camera' "$work/out/without_camera.txt") failed starts before," \
        "restart delay $(value "$r" restart_delay) s), ready" \
        "$(seconds "$(value "$r" ready_after_plug)") s after it"
    echo "observed - /dev/video7 -> $(value "$r" video7); the nodes (name index driver capabilities" \
        "udev's links): $(node_table "$o" | paste -sd ';')"
    local back
    back=$(value "$r" back_after_replug)
    back=${back:+back $(seconds "$back") s after the replug}
    echo "observed - camera_lcd said the camera stopped $(seconds "$(value "$r" stopped_after_unplug)") s" \
        "after the unplug, and ${back:-never back}"
    echo "observed - systemd: startup finished in $(value "$r" boot_time)"
}

# Each video node of the job's nodes.txt (name, index, driver) with what
# udev's database holds for it: the capabilities v4l_id found, the links.
node_table() {
    local name index driver
    while read -r name index driver; do
        echo "$name $index $driver" "$(awk -v node="N: $name" 'BEGIN {RS = ""; FS = "\n"}
            {
                hit = 0; caps = "-"; links = ""
                for (i = 1; i <= NF; i++) {
                    if ($i == node) hit = 1
                    else if ($i ~ /^E: ID_V4L_CAPABILITIES=/) caps = substr($i, 24)
                    else if ($i ~ /^S: /) links = links " " substr($i, 4)
                }
                if (hit) print caps links
            }' "$1/udev.txt")"
    done <"$1/nodes.txt"
}

# The link is udev's (its database lists it) to the node of index 0 of
# uvcvideo, and no other node's: not the gadget's output node nor uvcvideo's
# metadata node.
links_video7_to_uvc_capture() {
    local target table name index driver line wrong=0
    target=$(value "$1" video7)
    table=$(node_table "$2")
    while read -r line; do
        read -r name index driver _ <<<"$line"
        if [ "$name" = "$target" ]; then
            [ "$index $driver" = "0 uvcvideo" ] && [[ " $line " == *" video7 "* ]] || wrong=1
        elif [[ " $line " == *" video7 "* ]]; then
            wrong=1
        fi
    done <<<"$table"
    [ -n "$target" ] && [ "$(grep -c " uvcvideo " <<<"$table")" = 2 ] && [ "$wrong" = 0 ] && return
    echo "  /dev/video7 -> '$target'; the nodes (name index driver capabilities links):" >&2
    node_table "$2" | sed 's/^/  /' >&2
    false
}

# The file's lines, joined by spaces, are $2.
has_lines() {
    [ "$(paste -sd ' ' "$1")" = "$2" ] && return
    echo "  $1 holds: $(paste -sd ' ' "$1")" >&2
    false
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
    local writable=" /tmp /var/tmp /run/camera-lcd /dev/fb0 /dev/dri/card0 /dev/video7 /dev/tty7 " path verdict want wrong=0
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
