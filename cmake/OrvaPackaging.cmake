# Installation and packages: a .deb on Linux, a .zip of the Windows programs.
# The dialog's own CMakeLists adds orvaload, its desktop file and its icon.
#   cmake --install build/release --prefix /usr/local
#   (cd build/release && cpack -G DEB)
#   (cd build/win32 && cpack -G ZIP), the same in build/win64

include(GNUInstallDirs)

if(TARGET orvaload-cli)
  install(TARGETS orvaload-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET orvaload-line)
  install(TARGETS orvaload-line RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET orva-bootsim)
  install(TARGETS orva-bootsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Debian wants man pages and the changelog compressed, without a time stamp
# inside. Ninja makes an output's folder by itself, Makefiles do not: the
# command makes it first.
function(orva_gzip_file source output)
  get_filename_component(folder ${output} DIRECTORY)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing ${source}"
    VERBATIM)
endfunction()

if(WIN32)
  # A Windows user reads README.txt in Notepad: CRLF line ends.
  set(orva_readme ${CMAKE_BINARY_DIR}/README.txt)
  file(READ ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt orva_readme_text)
  string(REPLACE "\r\n" "\n" orva_readme_text "${orva_readme_text}")
  string(REPLACE "\n" "\r\n" orva_readme_text "${orva_readme_text}")
  file(WRITE ${orva_readme}.new "${orva_readme_text}")
  configure_file(${orva_readme}.new ${orva_readme} COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${orva_readme} DESTINATION .)
  # The programs carry OpenSSL (Apache License 2.0), whose terms go with them.
  install(FILES ${ORVA_OPENSSL_ROOT}/LICENSE.txt DESTINATION . RENAME OpenSSL-LICENSE.txt)
else()
  # A manual page for every program the package holds.
  set(orva_compressed)
  foreach(program orvaload orvaload-cli orvaload-line orva-bootsim)
    if(TARGET ${program})
      set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
      orva_gzip_file(${PROJECT_SOURCE_DIR}/docs/${program}.1 ${page})
      install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
      list(APPEND orva_compressed ${page})
    endif()
  endforeach()

  # The changelog's latest entry names the version the programs show.
  set(orva_changelog ${PROJECT_SOURCE_DIR}/packaging/deb/changelog)
  file(STRINGS ${orva_changelog} orva_changelog_top LIMIT_COUNT 1)
  if(NOT orva_changelog_top MATCHES "^orvaload \\(${ORVA_VERSION_TEXT}\\) ")
    message(FATAL_ERROR "packaging/deb/changelog: the latest entry is not version ${ORVA_VERSION_TEXT}: '${orva_changelog_top}'")
  endif()
  set(orva_changelog_gz ${CMAKE_BINARY_DIR}/changelog.gz)
  orva_gzip_file(${orva_changelog} ${orva_changelog_gz})
  list(APPEND orva_compressed ${orva_changelog_gz})
  add_custom_target(orva_compressed_docs ALL DEPENDS ${orva_compressed})

  install(FILES ${orva_changelog_gz} ${PROJECT_SOURCE_DIR}/packaging/deb/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The line server and a station as services of systemd, each with its
  # options in /etc/default (kept as the administrator changed them), run as
  # the system user orvaload that the package's postinst makes.
  if(TARGET orvaload-line)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/systemd/orvaload-line.service
                  ${PROJECT_SOURCE_DIR}/packaging/deb/systemd/orvaload-station.service
      DESTINATION /lib/systemd/system)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/default/orvaload-line
                  ${PROJECT_SOURCE_DIR}/packaging/deb/default/orvaload-station
      DESTINATION /etc/default)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/packaging/deb/conffiles ${PROJECT_SOURCE_DIR}/packaging/deb/postinst)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
  endif()
endif()

set(CPACK_PACKAGE_NAME "orvaload")
set(CPACK_PACKAGE_VENDOR "ORVA")
set(CPACK_PACKAGE_VERSION "${ORVA_VERSION_TEXT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ORVA controller firmware upgrader (dialog and command line)")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Puts new firmware into an ORVA controller over a serial line, through the\n"
    "controller's boot loader. The firmware travels inside the programs:\n"
    "orvaload is the upgrade dialog, orvaload-cli the command-line upgrader\n"
    "for scripts and hosts without a desktop, orvaload-line the line server\n"
    "that production stations report their runs to, orva-bootsim a simulated\n"
    "controller for trying them without one.")
set(CPACK_PACKAGE_CONTACT "ORVA Upgrader Maintainers <maintainers@orvaload.org>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "orvaload")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  # orvaload-2.00-win32.zip or orvaload-2.00-win64.zip
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_SYSTEM_NAME "win64")
  else()
    set(CPACK_SYSTEM_NAME "win32")
  endif()
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
