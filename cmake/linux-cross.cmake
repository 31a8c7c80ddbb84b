# Cross-build for Linux on another processor with Debian's cross compiler
# for CYLSWAP_TRIPLET (set by the file that includes this one). The tests
# run the result under qemu-user, on the oldest processor the target is
# meant for (CYLSWAP_QEMU_CPU), with the compiler's own target libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CYLSWAP_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CYLSWAP_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CYLSWAP_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A static binary runs without the target's libraries, as on a board.
if(CYLSWAP_STATIC)
  set(CYLSWAP_LIBRARIES "")
else()
  set(CYLSWAP_LIBRARIES -L /usr/${CYLSWAP_TRIPLET})
endif()
set(CYLSWAP_EMULATOR ${CYLSWAP_QEMU} -cpu ${CYLSWAP_QEMU_CPU} ${CYLSWAP_LIBRARIES} CACHE STRING
  "Command prefix that runs a target binary on this machine")
