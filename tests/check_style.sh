#!/usr/bin/env bash
# Fails when a C or C++ file differs from .clang-format, or when a shell script
# draws a warning from shellcheck or differs from shfmt's format (4-space
# indents). Checks the files git tracks (outside a git checkout: every such
# file but the build and out folders).
set -euo pipefail
cd "$(dirname "$0")/.."

# The files whose names match the given find patterns.
list_files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -- "$@"
    else
        local names=(-false) pattern
        for pattern in "$@"; do names+=(-o -path "./$pattern"); done
        find . \( -path './build*' -o -path ./out \) -prune -o \( "${names[@]}" \) -print
    fi
}

for tool in clang-format shellcheck shfmt; do
    command -v "$tool" >/dev/null || {
        echo "check_style: $tool is missing: the Debian package $tool brings it" \
            "(bash tools/ensure_packages.sh @tools/test_packages.txt)" >&2
        exit 1
    }
done

failed=0
mapfile -t sources < <(list_files '*.c' '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${sources[@]}"; then
    echo "check_style: clang-format -i the files above" >&2
    failed=1
fi
mapfile -t scripts < <(list_files '*.sh' .ci/run 'packaging/*/postinst' 'packaging/*/prerm' 'packaging/*/postrm')
shellcheck "${scripts[@]}" || failed=1
misformatted=0
for script in "${scripts[@]}"; do
    # shfmt takes "#!/bin/sh" for POSIX sh, but not init.sh's busybox sh.
    language=auto
    if [ "$(head -n 1 "$script")" = '#!/bin/busybox sh' ]; then
        language=posix
    fi
    shfmt -i 4 -ln "$language" -d "$script" || misformatted=1
done
if [ "$misformatted" != 0 ]; then
    echo "check_style: shfmt -i 4 -w the scripts above" >&2
    failed=1
fi
if [ "$failed" = 0 ]; then
    echo "check_style: ${#sources[@]} C/C++ files and ${#scripts[@]} shell scripts are clean"
fi
exit "$failed"
