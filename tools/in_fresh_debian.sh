#!/usr/bin/env bash
# Runs a command as a newcomer would: as root in a fresh Debian 12 tree that
# holds only what mmdebstrap's apt variant installs, plus git and
# ca-certificates, and a clone of this checkout's HEAD commit at
# /root/lcd_display. The tree comes from this machine's own package sources
# and apt settings; /proc, /sys, /dev and /dev/pts are bind-mounted into it in
# a mount namespace of its own, so the mounts end with the run. The tree is
# removed afterwards, also when the command fails or the run is interrupted.
#
#   tools/in_fresh_debian.sh COMMAND [ARG...]
#   e.g. tools/in_fresh_debian.sh bash tools/run_tests.sh
#
# Exits with the command's status, or 1 when the tree cannot be made: then
# nothing is tested in place. Uncommitted changes are not in the clone.
# CI, FUZZ_SECONDS and the proxy variables pass into the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
name=lcd_display
me=in_fresh_debian.sh

[ $# -gt 0 ] || {
    echo "usage: tools/in_fresh_debian.sh COMMAND [ARG...]" >&2
    exit 2
}
[ "$(id -u)" = 0 ] || {
    echo "$me: needs root (mmdebstrap, chroot and mounts)" >&2
    exit 1
}
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    echo "$me: uncommitted changes are not tested, only commit $(git rev-parse --short HEAD)" >&2
bash tools/ensure_packages.sh mmdebstrap

tree=$(mktemp -d "${TMPDIR:-/var/tmp}/fresh-debian.XXXXXX")
log=$tree.mmdebstrap.log

# Ends whatever still runs in the tree, then removes it. The mounts live only
# in the run's own namespace, so nothing of this machine is below the tree
# here; --one-file-system guards that all the same.
# shellcheck disable=SC2317  # run by the EXIT trap
remove_tree() {
    local link pids=()
    for link in /proc/[0-9]*/root; do
        [ "$(readlink "$link" 2>/dev/null)" = "$tree" ] && pids+=("$(basename "$(dirname "$link")")")
    done
    [ ${#pids[@]} -eq 0 ] || kill -KILL "${pids[@]}" 2>/dev/null || true
    rm -rf --one-file-system "$tree" "$log"
}
trap remove_tree EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# This machine's package sources and the apt settings it fetches with.
mapfile -t sources < <(bash tools/mmdebstrap_sources.sh)

start=$SECONDS
echo "== $me: making a Debian 12 tree in $tree"
if ! mmdebstrap --mode=root --variant=apt --include=git,ca-certificates \
    bookworm "$tree" "${sources[@]}" >"$log" 2>&1; then
    echo "$me: cannot make the Debian 12 tree, so nothing is tested:" \
        "mmdebstrap said: $(grep -E '^(E|W):' "$log" | tail -n 1)" >&2
    exit 1
fi
git clone -q --no-hardlinks "$checkout" "$tree/root/$name"
git -C "$tree/root/$name" checkout -q --detach "$(git rev-parse HEAD)"
cp /etc/resolv.conf "$tree/etc/resolv.conf" 2>/dev/null || true
echo "== $me: tree made in $((SECONDS - start)) s; running in /root/$name: $*"

environment=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8)
for variable in CI FUZZ_SECONDS http_proxy https_proxy no_proxy; do
    [ -n "${!variable:-}" ] && environment+=("$variable=${!variable}")
done
start=$SECONDS
status=0
# shellcheck disable=SC2016  # expanded by the inner shell
unshare --mount --propagation private -- bash -c '
    tree=$1
    shift
    for dir in proc sys dev dev/pts; do mount --bind "/$dir" "$tree/$dir"; done
    exec chroot "$tree" "$@"' \
    bash "$tree" /usr/bin/env -i "${environment[@]}" \
    bash -c 'cd ~/'"$name"' && exec "$@"' bash "$@" </dev/null || status=$?
echo "== $me: the command ended with status $status after $((SECONDS - start)) s"
exit "$status"
