#!/usr/bin/env bash
# Builds everything four times and runs every test in each build: natively as
# released, natively with AddressSanitizer and UndefinedBehaviorSanitizer, and
# cross-built for the board's processors (armhf, aarch64) under user-mode QEMU;
# then the pixel tests of a build that draws from R, G, B lines. Then a bounded
# fuzzing session (clang's libFuzzer) over every harness.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t packages < <(cat tools/build_packages.txt tools/cross_packages.txt)
bash tools/ensure_packages.sh "${packages[@]}" imagemagick ffmpeg

jobs=$(nproc)
for build in "build Release OFF -" "build-sanitize Debug ON -" \
    "build-armhf Release OFF armhf" "build-aarch64 Release OFF aarch64"; do
    read -r dir type sanitize target <<<"$build"
    toolchain=()
    [ "$target" = - ] || toolchain=("-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$target.cmake")
    echo "== $dir: $type, sanitizers $sanitize, target ${target/-/native}"
    start=$SECONDS
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DSANITIZE="$sanitize" "${toolchain[@]}"
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure
    echo "== $dir: built and tested in $((SECONDS - start)) s"
done

# The drawing as built where libjpeg has no B, G, R, X output (a plain libjpeg):
# JPEG images drawn from R, G, B lines. Only the pixel tests concern it.
echo "== build-rgb-lines: Release, JPEG images drawn from R, G, B lines"
start=$SECONDS
cmake -S . -B build-rgb-lines -DCMAKE_BUILD_TYPE=Release -DDECODE_RGB_LINES=ON
cmake --build build-rgb-lines -j"$jobs" --target lcd_test lcd_jpeg_test viode_show_test
for test in lcd_test lcd_jpeg_test viode_show_test; do
    "build-rgb-lines/tests/$test"
done
echo "== build-rgb-lines: built and tested in $((SECONDS - start)) s"

# Fuzzing: its own build with clang, every harness from its seed corpus for
# FUZZ_SECONDS (60 unless set); any crash, sanitizer report or leak fails the run.
echo "== build-fuzz: libFuzzer harnesses, ${FUZZ_SECONDS:-60} s each"
start=$SECONDS
bash tools/ensure_packages.sh clang libclang-rt-14-dev
cmake -S . -B build-fuzz -DFUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build build-fuzz -j"$jobs"
bash tests/fuzz/run_fuzzers.sh build-fuzz "${FUZZ_SECONDS:-60}"
echo "== build-fuzz: built and fuzzed in $((SECONDS - start)) s"
