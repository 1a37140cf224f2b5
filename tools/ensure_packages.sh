#!/usr/bin/env bash
# Installs with apt-get those of the named Debian packages that are missing.
# An argument @FILE names a list file, one package a line.
# A name with an architecture (libjpeg-dev:armhf) enables that architecture.
# Nothing installed is ever removed to make room: then the install fails.
set -euo pipefail
packages=()
for argument in "$@"; do
    if [[ $argument == @* ]]; then
        mapfile -t -O "${#packages[@]}" packages <"${argument#@}"
    else
        packages+=("$argument")
    fi
done
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
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
"${apt[@]}" update -qq || {
    echo "ensure_packages.sh: apt-get update failed (status $?), see above" >&2
    exit 1
}
DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends --no-remove \
    "${missing[@]}" || {
    echo "ensure_packages.sh: apt-get install ${missing[*]} failed (status $?), see above" >&2
    exit 1
}
echo "Installed ${#missing[@]} packages in $((SECONDS - start)) s"
