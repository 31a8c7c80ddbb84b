# Install layout and packages: a .deb on Linux, a .zip on Windows. The one
# version number is the project's.
include(GNUInstallDirs)
set(CYLSWAP_DOCS README.md README.ja.md LICENSE)
list(TRANSFORM CYLSWAP_DOCS PREPEND ${PROJECT_SOURCE_DIR}/)

if(WIN32)
  # Unpacked, the archive is a folder holding the .exe and its read-mes.
  install(TARGETS cylswap RUNTIME DESTINATION .)
  install(FILES ${CYLSWAP_DOCS} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME cylswap-${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}-win64)
else()
  install(TARGETS cylswap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/cylswap.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES man/ja/cylswap.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/ja/man1)
  install(FILES ${CYLSWAP_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
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
# Dependencies come from the binary itself, never typed by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
