# Installation and packages: a .deb on Linux, a .zip of the Windows programs.
# The dialog's own CMakeLists adds orvaload, its desktop file and its icon.
#   cmake --install build/release --prefix /usr/local
#   (cd build/release && cpack -G DEB)
#   (cd build/win32 && cpack -G ZIP)

include(GNUInstallDirs)

if(TARGET orvaload-cli)
  install(TARGETS orvaload-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(NOT WIN32)
  # Debian wants man pages compressed, without a time stamp inside.
  set(orva_man_page ${CMAKE_BINARY_DIR}/orvaload-cli.1.gz)
  add_custom_command(
    OUTPUT ${orva_man_page}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/docs/orvaload-cli.1 > ${orva_man_page}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/orvaload-cli.1
    COMMENT "Compressing the orvaload-cli man page"
    VERBATIM)
  add_custom_target(orva_man_page ALL DEPENDS ${orva_man_page})
  install(FILES ${orva_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME "orvaload")
set(CPACK_PACKAGE_VENDOR "ORVA")
set(CPACK_PACKAGE_VERSION "${ORVA_VERSION_TEXT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ORVA controller firmware upgrader (dialog and command line)")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Puts new firmware into an ORVA controller over a serial line, through the\n"
    "controller's boot loader. The firmware travels inside the programs:\n"
    "orvaload is the upgrade dialog, orvaload-cli the command-line upgrader\n"
    "for scripts and hosts without a desktop.")
set(CPACK_PACKAGE_CONTACT "ORVA Upgrader team <orvaload@example.com>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "orvaload")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  set(CPACK_SYSTEM_NAME "win32")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR "DEB")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
  # The wx libraries and the C++ runtime, as the linked programs need them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
