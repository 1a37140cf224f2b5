# shellcheck shell=sh
# What the VM's jobs wait for, each for 10 s at most; sourced by them.
# shellcheck disable=SC2034  # i counts tries

# Until the process PID has the camera open (a USB camera's /dev/video7 is a
# link to its node).
# shellcheck disable=SC2010  # ls -l shows the descriptors' targets
holds_camera() {
    for i in $(seq 100); do
        ls -l "/proc/$1/fd" | grep -q "$(readlink -f /dev/video7)\$" && return
        sleep 0.1
    done
}

# Until the file FILE holds TEXT.
holds_text() {
    for i in $(seq 100); do
        grep -q "$2" "$1" && return
        sleep 0.1
    done
}
