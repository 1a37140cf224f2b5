#!/usr/bin/env bash
# Checks the code style, then builds everything four times and runs every test
# in each build: natively as released and natively with AddressSanitizer and
# UndefinedBehaviorSanitizer (both with warnings as errors), and cross-built for
# the board's processors (armhf, aarch64) under user-mode QEMU. The native,
# armhf and aarch64 builds also run their programs in a virtual machine of
# their architecture on real kernel drivers, checking QEMU's display. Then the pixel tests of a build that draws from R, G, B lines (as
# with a plain libjpeg), the board's packages built and checked, and a bounded
# fuzzing session (clang's libFuzzer) over every harness. A board processor
# whose packages the mirror cannot serve is left out, and the run says so.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/ensure_packages.sh @tools/build_packages.txt @tools/test_packages.txt @tools/packaging_packages.txt
# A board processor whose packages cannot come because the mirror serves a
# broken list of them is left unbuilt and untested, said here and at the end;
# any other failure to install ends the run. When one list of a suite fails,
# apt keeps none of that suite's new lists: a processor whose lists come
# whole is done first, before the other's architecture is enabled.
targets=()
untested=()
for target in aarch64 armhf; do
    status=0
    bash tools/ensure_packages.sh "@tools/cross_packages_$target.txt" || status=$?
    case $status in
    0) targets+=("$target") ;;
    3) untested+=("$target") ;;
    *) exit "$status" ;;
    esac
done
say_untested() {
    [ ${#untested[@]} -eq 0 ] ||
        echo "== NOT BUILT OR TESTED for ${untested[*]}: the mirror's package lists for it could not be fetched" >&2
}
say_untested
bash tests/check_style.sh

jobs=$(nproc)
builds=("build Release OFF - ON" "build-sanitize Debug ON - ON")
for target in "${targets[@]}"; do builds+=("build-$target Release OFF $target OFF"); done
for build in "${builds[@]}"; do
    read -r dir type sanitize target werror <<<"$build"
    toolchain=()
    [ "$target" = - ] || toolchain=("-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$target.cmake")
    echo "== $dir: $type, sanitizers $sanitize, target ${target/-/native}"
    start=$SECONDS
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DSANITIZE="$sanitize" \
        -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" "${toolchain[@]}"
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure
    echo "== $dir: built and tested in $((SECONDS - start)) s"
done

# The drawing as built where libjpeg has no B, G, R, X output (a plain libjpeg):
# JPEG images drawn from R, G, B lines. Only the pixel tests concern it.
echo "== build-rgb-lines: Release, JPEG images drawn from R, G, B lines"
start=$SECONDS
cmake -S . -B build-rgb-lines -DCMAKE_BUILD_TYPE=Release -DDECODE_RGB_LINES=ON \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-rgb-lines -j"$jobs" --target lcd_test lcd_jpeg_test viode_show_test
for test in lcd_test lcd_jpeg_test viode_show_test; do
    "build-rgb-lines/tests/$test"
done
echo "== build-rgb-lines: built and tested in $((SECONDS - start)) s"

# The board's packages: cross-built, then checked with lintian and systemd-analyze.
if [ ${#targets[@]} -gt 0 ]; then
    echo "== packages: ${targets[*]}"
    start=$SECONDS
    BOARD_TARGETS="${targets[*]}" bash tools/build_board_packages.sh
    echo "== packages: built and checked in $((SECONDS - start)) s"
fi

# Fuzzing: its own build with clang, every harness from its seed corpus for
# FUZZ_SECONDS (60 unless set); any crash, sanitizer report or leak fails the run.
echo "== build-fuzz: libFuzzer harnesses, ${FUZZ_SECONDS:-60} s each"
start=$SECONDS
bash tools/ensure_packages.sh @tools/fuzz_packages.txt
cmake -S . -B build-fuzz -DFUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build build-fuzz -j"$jobs"
bash tests/fuzz/run_fuzzers.sh build-fuzz "${FUZZ_SECONDS:-60}"
echo "== build-fuzz: built and fuzzed in $((SECONDS - start)) s"
say_untested
