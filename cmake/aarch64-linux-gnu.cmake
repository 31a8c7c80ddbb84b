# Linux on 64-bit ARM: Raspberry Pi OS arm64 and Debian arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CYLSWAP_TRIPLET aarch64-linux-gnu)
set(CYLSWAP_QEMU qemu-aarch64)
# Raspberry Pi 3 and Zero 2 W; later boards have newer cores.
set(CYLSWAP_QEMU_CPU cortex-a53)
set(CYLSWAP_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
