#!/usr/bin/env bash
# Builds camera_lcd and shows the live view, then saves what the screen shows
# as out/camera_lcd.png. Uses /dev/fb0 and /dev/video7 where they exist; in
# their place the virtual framebuffer (a file) and the replay camera, fed with
# camera-like frames. Then shows out/frames/frame_000.jpg with jpeg_fb the same way.
# With --vm: the real-driver run instead, in a throwaway QEMU machine with the
# kernel's bochs framebuffer and a v4l2loopback camera fed the same frames.
# With --vm-arm: the armhf build in a Cortex-A9 QEMU machine whose LCD
# controller drives an 800x480 panel (/dev/fb0), saving what the panel showed
# as out/camera_lcd_vm_arm.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/ensure_packages.sh @tools/build_packages.txt
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"

mkdir -p out/frames
build/tools/make_frames out/frames 24 >out/frames/list
frames=$(paste -sd: out/frames/list)

# Saves a screen dump in the board's order (bytes B, G, R, X) as a PNG.
save_dump() {
    LD_PRELOAD="$PWD/build/tests/libvfb.so" VFB_FILE="$1" VFB_LAYOUT=xrgb8888 \
        build/tools/fb_png "$2"
    echo "Saved $2"
}

if [ "${1:-}" = --vm ]; then
    bash tests/vm/prepare.sh
    frame_args=()
    while read -r frame; do frame_args+=(--frame "$frame"); done <out/frames/list
    echo "Screen: bochs in the VM; camera: v4l2loopback at /dev/video7, for 8 seconds"
    tests/vm/run_in_vm.sh --out "$PWD/out/vm" --fb bochs --feeder build/tests/vm/vm_feeder \
        --fps 10 "${frame_args[@]}" --timeout 40 -- timeout 8 build/camera_lcd/camera_lcd ||
        [ "$(cat out/vm/status)" = 124 ]
    save_dump out/vm/fb0.raw out/camera_lcd_vm.png
    exit 0
fi

if [ "${1:-}" = --vm-arm ]; then
    bash tools/ensure_packages.sh @tools/cross_packages_armhf.txt
    cmake -S . -B build-armhf -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake >/dev/null
    cmake --build build-armhf -j"$(nproc)" --target camera_lcd vm_feeder
    bash tests/vm/prepare.sh armhf
    frame_args=()
    while read -r frame; do frame_args+=(--frame "$frame"); done <out/frames/list
    echo "Screen: the LCD controller of the Cortex-A9 VM; camera: v4l2loopback at /dev/video7, for 8 seconds"
    # The VM's timeout is busybox's: it ends with 143 when the time is up.
    tests/vm/run_in_vm.sh --arch armhf --fb clcd --out "$PWD/out/vm-arm" \
        --feeder build-armhf/tests/vm/vm_feeder --fps 10 "${frame_args[@]}" --timeout 40 \
        -- timeout 8 build-armhf/camera_lcd/camera_lcd || [ "$(cat out/vm-arm/status)" = 143 ]
    cp out/vm-arm/screen.png out/camera_lcd_vm_arm.png
    echo "Saved out/camera_lcd_vm_arm.png"
    exit 0
fi

screen=()
if [ -c /dev/fb0 ]; then
    echo "Screen: /dev/fb0"
else
    echo "Screen: virtual, out/screen.raw"
    head -c 1536000 /dev/zero | tr '\0' '\100' >out/screen.raw
    screen=(LD_PRELOAD="$PWD/build/tests/libvfb.so" VFB_FILE="$PWD/out/screen.raw")
fi

if [ -c /dev/video7 ]; then
    echo "Camera: /dev/video7, for 10 seconds"
    env "${screen[@]}" timeout 10 build/camera_lcd/camera_lcd || [ $? -eq 124 ]
else
    echo "Camera: replay of the frames in out/frames"
    env "${screen[@]}" LD_LIBRARY_PATH="$PWD/build/tests/replay" REPLAY_FRAMES="$frames" \
        build/camera_lcd/camera_lcd
fi
env "${screen[@]}" build/tools/fb_png out/camera_lcd.png
echo "Saved out/camera_lcd.png"

if [ -x build/jpeg_fb/jpeg_fb ]; then
    env "${screen[@]}" build/jpeg_fb/jpeg_fb out/frames/frame_000.jpg
    env "${screen[@]}" build/tools/fb_png out/jpeg_fb.png
    echo "Saved out/jpeg_fb.png"
fi
