# Linux on 32-bit ARM with hardware floating point: Raspberry Pi OS armhf
# and Debian armhf. Debian's armhf is ARMv7: its compiler, C library start
# files and C++ runtime all are, so the Raspberry Pi 1 and Zero (ARMv6) are
# not reached; the Raspberry Pi 2 and every later board are.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CYLSWAP_TRIPLET arm-linux-gnueabihf)
set(CYLSWAP_QEMU qemu-arm)
# The Raspberry Pi 2's core, the oldest this build runs on.
set(CYLSWAP_QEMU_CPU cortex-a7)
set(CYLSWAP_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
