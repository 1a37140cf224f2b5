#!/usr/bin/env bash
# Cross-builds both programs and our camera library for the board's processors,
# writes installable Debian packages to out/packages/ and checks them with
# lintian and systemd-analyze (tools/check_board_packages.sh).
# Extra CMake arguments pass through, e.g. -DCAMERA_LIBRARY=/path/to/libapi_v4l2_arm.so
# BOARD_TARGETS names the processors (default "armhf aarch64").
set -euo pipefail
cd "$(dirname "$0")/.."
read -r -a targets <<<"${BOARD_TARGETS:-armhf aarch64}"
lists=()
for target in "${targets[@]}"; do lists+=("@tools/cross_packages_$target.txt"); done
bash tools/ensure_packages.sh @tools/build_packages.txt @tools/packaging_packages.txt "${lists[@]}"

mkdir -p out/packages
rm -f out/packages/*.deb
for target in "${targets[@]}"; do
    dir=build-board-$target
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$target.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF "$@"
    cmake --build "$dir" -j"$(nproc)"
    (cd "$dir" && cpack -B "$PWD/../out/packages")
done
rm -rf out/packages/_CPack_Packages
ls -l out/packages/*.deb
bash tools/check_board_packages.sh out/packages
