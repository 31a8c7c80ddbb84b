# Linux on 32-bit ARM without hardware floating point in the ABI: Debian
# armel, which is ARMv5TE, so its static binary also runs on the ARMv6
# Raspberry Pi 1, Zero and Zero W, which armhf (ARMv7) does not reach.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CYLSWAP_TRIPLET arm-linux-gnueabi)
set(CYLSWAP_QEMU qemu-arm)
# The Raspberry Pi 1 and Zero's core.
set(CYLSWAP_QEMU_CPU arm1176)
set(CYLSWAP_DEBIAN_ARCH armel)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
