#!/usr/bin/env bash
# Builds everything four times and runs every test in each build: natively as
# released, natively with AddressSanitizer and UndefinedBehaviorSanitizer, and
# cross-built for the board's processors (armhf, aarch64) under user-mode QEMU.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/ensure_packages.sh $(cat tools/build_packages.txt) $(cat tools/cross_packages.txt) \
    imagemagick ffmpeg

jobs=$(nproc)
for build in "build Release OFF -" "build-sanitize Debug ON -" \
    "build-armhf Release OFF armhf" "build-aarch64 Release OFF aarch64"; do
    read -r dir type sanitize target <<<"$build"
    toolchain=()
    [ "$target" = - ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$target.cmake)
    echo "== $dir: $type, sanitizers $sanitize, target ${target/-/native}"
    start=$SECONDS
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DSANITIZE="$sanitize" "${toolchain[@]}"
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure
    echo "== $dir: built and tested in $((SECONDS - start)) s"
done
