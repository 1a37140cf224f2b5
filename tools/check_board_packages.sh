#!/usr/bin/env bash
# Checks the Debian packages in a folder (default out/packages/): lintian must
# find no error and no warning that is not overridden with a reason, no
# program or library in them may need libstdc++ at run time (a board may have
# an older one, or none), and systemd-analyze must accept each camera-lcd
# package's unit as installed (its program and manual page present). Nothing
# is installed or started: the unit is verified in a scratch root holding the
# package's files and this machine's own systemd units.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-out/packages}
bash tools/ensure_packages.sh @tools/packaging_packages.txt

shopt -s nullglob
debs=("$dir"/*.deb)
[ ${#debs[@]} -gt 0 ] || {
    echo "no .deb in $dir" >&2
    exit 1
}

failed=0
for deb in "${debs[@]}"; do
    echo "lintian $deb"
    lintian --fail-on error,warning "$deb" || failed=1
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Each package unpacked once, into a folder named after it.
for deb in "${debs[@]}"; do
    root=$scratch/$(basename "$deb" .deb)
    dpkg-deb -x "$deb" "$root"
    while IFS= read -r -d '' file; do
        if readelf -d "$file" 2>/dev/null | grep -q 'NEEDED.*\[libstdc++'; then
            echo "${file#"$root"} in $deb needs libstdc++" >&2
            failed=1
        fi
    done < <(find "$root" -type f \( -path '*/bin/*' -o -name '*.so*' \) -print0)
done
for deb in "$dir"/camera-lcd_*.deb; do
    root=$scratch/$(basename "$deb" .deb)
    cp -a /lib/systemd/system/. "$root/usr/lib/systemd/system/"
    echo "systemd-analyze verify camera-lcd.service from $deb"
    # Any message (an unknown key, a missing program or page) is a failure.
    if ! messages=$(MANPATH=$root/usr/share/man \
        systemd-analyze verify --root="$root" camera-lcd.service 2>&1) || [ -n "$messages" ]; then
        printf '%s\n' "$messages" >&2
        failed=1
    fi
done

[ "$failed" = 0 ] || {
    echo "package check failed" >&2
    exit 1
}
echo "packages accepted: ${#debs[@]}"
