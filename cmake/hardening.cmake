# Debian's hardening for the package builds: stack protector and clash
# checks, fortified C library calls, a position-independent executable with
# its relocations read-only and bound at start. The C++ runtime is linked in:
# loading it cost more than the whole job. Each processor adds what its
# compiler and linker support.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_compile_options(-fstack-protector-strong -fstack-clash-protection -D_FORTIFY_SOURCE=2
  -ffunction-sections -fdata-sections)
add_link_options(-pie -static-libstdc++ -static-libgcc -Wl,-z,relro -Wl,-z,now
  -Wl,--gc-sections -Wl,--as-needed)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  # Control-flow protection; packed relative relocations (binutils has them
  # for x86 only, and says so on every other link).
  add_compile_options(-fcf-protection)
  add_link_options(-Wl,-z,pack-relative-relocs)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  # Signed return addresses and branch target marks in the tool's own code,
  # arm64's counterpart of control-flow protection. Both are no-ops on cores
  # without them, such as the Raspberry Pi's.
  add_compile_options(-mbranch-protection=standard)
endif()
