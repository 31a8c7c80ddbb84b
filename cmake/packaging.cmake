# Install layout and packages: a .deb on Linux, a .zip on Windows. The one
# version number is the project's. Packing installs what is built and
# builds nothing itself, so a package needs no test built first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(GNUInstallDirs)
set(CYLSWAP_DOCS README.md README.ja.md STORAGE.md STORAGE.ja.md NEWS.md LICENSE)
list(TRANSFORM CYLSWAP_DOCS PREPEND ${PROJECT_SOURCE_DIR}/)

if(WIN32)
  # Unpacked, the archive is a folder holding the .exe and its read-mes.
  install(TARGETS cylswap RUNTIME DESTINATION .)
  install(FILES ${CYLSWAP_DOCS} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME cylswap-${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}-win64)
else()
  # Manual pages and the changelog compressed as Debian does it: gzip -9
  # with no name or time stamp inside, so two builds give the same bytes.
  set(CYLSWAP_GZIPPED "")
  foreach(pair "man/cylswap.1;man1/cylswap.1.gz" "man/ja/cylswap.1;ja/man1/cylswap.1.gz"
               "packaging/changelog;changelog.gz")
    list(GET pair 0 source)
    list(GET pair 1 gzipped)
    set(output ${PROJECT_BINARY_DIR}/gz/${gzipped})
    get_filename_component(folder ${output} DIRECTORY)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
      COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${source} > ${output}
      DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
    list(APPEND CYLSWAP_GZIPPED ${output})
  endforeach()
  add_custom_target(cylswap_gzipped ALL DEPENDS ${CYLSWAP_GZIPPED})
  install(TARGETS cylswap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/gz/man1/cylswap.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/gz/ja/man1/cylswap.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/ja/man1)
  # The licence is in the machine-readable copyright file.
  list(FILTER CYLSWAP_DOCS EXCLUDE REGEX "/LICENSE$")
  install(FILES ${CYLSWAP_DOCS} packaging/copyright ${PROJECT_BINARY_DIR}/gz/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

set(CPACK_PACKAGE_NAME cylswap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(CPACK_PACKAGE_VENDOR "cylswap developers")
set(CPACK_PACKAGE_CONTACT "cylswap developers <dev@cylswap.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "switch a raw 1.25MB floppy image between 77 and 80 cylinders")
# The summary above is the first line of the package's description.
set(CPACK_PACKAGE_DESCRIPTION "cylswap converts a raw (flat) floppy disk image in the 1.25MB format between
its 77-cylinder and its 80-cylinder size, in place, after a y/N confirmation,
with fixed Japanese messages. It only moves the end of the file: the image
data is never read or rewritten. Images that an emulator holds are refused.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies come from the binary itself, never typed by hand: read when
# the package is made (cmake/deb-depends.cmake), for every processor alike,
# with no foreign C library installed on the build machine.
if(NOT WIN32)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/deb-depends.cmake CONTENT
    "set(CYLSWAP_BINARY \"$<TARGET_FILE:cylswap>\")
set(CYLSWAP_OBJDUMP \"${CMAKE_OBJDUMP}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/deb-depends.cmake\")
")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/deb-depends.cmake)
endif()
if(CYLSWAP_DEBIAN_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CYLSWAP_DEBIAN_ARCH})
endif()
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
