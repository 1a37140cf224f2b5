# Cross build for armhf boards (ARMv7-A, hard-float) on a Debian machine.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLET arm-linux-gnueabihf)
set(CROSS_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian_multiarch.cmake)
