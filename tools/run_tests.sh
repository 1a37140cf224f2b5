#!/usr/bin/env bash
# Builds everything twice, as released and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/ensure_packages.sh $(cat tools/build_packages.txt) imagemagick ffmpeg

jobs=$(nproc)
for build in "build Release OFF" "build-sanitize Debug ON"; do
    read -r dir type sanitize <<<"$build"
    echo "== $dir: $type, sanitizers $sanitize"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DSANITIZE="$sanitize"
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure
done
