# Read by CPack when it makes a .deb: the package's Depends, from the built
# binary. It may link only the C library (libc.so.6 and its dynamic loader,
# both in libc6); it needs the libc6 that has the newest of the C library's
# symbol versions it asks for, which is what dpkg-shlibdeps makes of
# Debian's symbols files for it. Cross-built packages get the same answer
# without the target's C library installed on the build machine.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
execute_process(COMMAND ${CYLSWAP_OBJDUMP} -p -T ${CYLSWAP_BINARY}
  OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "NEEDED +[^\n]+" needed "${dump}")
foreach(library IN LISTS needed)
  if(NOT library MATCHES "NEEDED +(libc\\.so\\.6|ld-linux[-a-z0-9_]*\\.so\\.[0-9]+)$")
    message(FATAL_ERROR "${CYLSWAP_BINARY} needs ${library}: list its package in the Depends")
  endif()
endforeach()
string(REGEX MATCHALL "GLIBC_2\\.[0-9]+" versions "${dump}")
set(newest 0)
foreach(version IN LISTS versions)
  string(REPLACE "GLIBC_2." "" minor "${version}")
  if(minor GREATER newest)
    set(newest ${minor})
  endif()
endforeach()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.${newest})")
