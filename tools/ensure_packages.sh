#!/usr/bin/env bash
# Installs with apt-get those of the named Debian packages that are missing.
# An argument @FILE names a list file, one package a line.
# A name with an architecture (libjpeg-dev:armhf) enables that architecture.
# Nothing installed is ever removed to make room: then the install fails.
# Exits 1 when the install fails, 3 when it fails while some package list of
# the mirror could not be fetched (the mirror's fault, maybe not the names').
set -euo pipefail
packages=()
for argument in "$@"; do
    if [[ $argument == @* ]]; then
        mapfile -t -O "${#packages[@]}" packages <"${argument#@}"
    else
        packages+=("$argument")
    fi
done
# A name without an architecture is this machine's package (or one for all
# architectures), not the same name installed for another architecture.
installed() {
    local name=${1%%:*} arch=${1#*:}
    [ "$arch" != "$1" ] || arch="$(dpkg --print-architecture)|all"
    dpkg-query -W -f='${Status} ${Architecture}\n' "$name" 2>/dev/null |
        grep -Eq "^install ok installed ($arch)\$"
}
missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

for package in "${missing[@]}"; do
    arch=${package#*:}
    if [ "$arch" != "$package" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        dpkg --add-architecture "$arch"
    fi
done
echo "Installing: ${missing[*]}"
start=$SECONDS
apt=(apt-get -o DPkg::Lock::Timeout=600)
# A mirror caught mid-sync serves an index of the wrong size for a while; a
# later try may get a whole one. If none does, the install goes on from the
# indexes that came: it fails by itself if what it needs was in the broken one.
update_tries=3
update_status=0
for try in $(seq "$update_tries"); do
    update_status=0
    "${apt[@]}" update -qq || update_status=$?
    [ "$update_status" -ne 0 ] || break
    if [ "$try" -eq "$update_tries" ]; then
        echo "ensure_packages.sh: apt-get update failed (status $update_status) $update_tries times; installing from the package lists there are" >&2
        break
    fi
    echo "ensure_packages.sh: apt-get update failed (status $update_status), trying again in $((20 * try)) s" >&2
    sleep $((20 * try))
done
DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends --no-remove \
    "${missing[@]}" || {
    echo "ensure_packages.sh: apt-get install ${missing[*]} failed (status $?), see above" >&2
    [ "$update_status" -eq 0 ] || exit 3
    exit 1
}
echo "Installed ${#missing[@]} packages in $((SECONDS - start)) s"
