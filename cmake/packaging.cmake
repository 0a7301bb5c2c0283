# Packages of a release tree (scripts/package makes both):
#
#   cpack -G DEB              serbolt_VERSION_ARCH.deb: serbolt, korvan-sim, their manual pages,
#                             bash completion, copyright and changelog (the component "serbolt")
#   cmake --build . --target serbolt2_zip
#                             serbolt2-VERSION-win64.zip: serbolt2.exe, README.txt for Windows
#                             users, the manual page as plain text and the licence (needs
#                             mingw-w64 and groff)

# The Debian package's Maintainer: the project's own (SERBOLT_PROJECT_MAINTAINER), unless
# SERBOLT_MAINTAINER, given to CMake or in the environment, names another.
set(SERBOLT_MAINTAINER "" CACHE STRING "Maintainer named in the Debian package (empty: the project's own)")
if(NOT SERBOLT_MAINTAINER STREQUAL "")
  set(serbolt_maintainer "${SERBOLT_MAINTAINER}")
elseif(NOT "$ENV{SERBOLT_MAINTAINER}" STREQUAL "")
  set(serbolt_maintainer "$ENV{SERBOLT_MAINTAINER}")
else()
  set(serbolt_maintainer "${SERBOLT_PROJECT_MAINTAINER}")
endif()

# The copyright file in Debian's format, with the licence text taken from LICENSE (the Expat
# licence, as Debian names the MIT licence): its copyright line, and the permission text below it,
# indented one space with "." for an empty line.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" match "${license}")
set(SERBOLT_COPYRIGHT "${CMAKE_MATCH_1}")
string(FIND "${license}" "Permission is hereby granted" start)
if(SERBOLT_COPYRIGHT STREQUAL "" OR start EQUAL -1)
  message(FATAL_ERROR "LICENSE: no copyright line or permission text found")
endif()
string(SUBSTRING "${license}" ${start} -1 text)
string(STRIP "${text}" text)
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " text "${text}")
set(SERBOLT_EXPAT_TEXT " ${text}")
set(SERBOLT_COPYRIGHT_FILE ${CMAKE_BINARY_DIR}/packaging/copyright)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in ${SERBOLT_COPYRIGHT_FILE} @ONLY)

# Bash completion for serbolt, where bash-completion looks for it on demand.
install(FILES ${PROJECT_SOURCE_DIR}/completion/serbolt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

find_program(SERBOLT_GZIP gzip)
# Copyright and changelog; Debian wants the changelog compressed, without name or time stamp.
install(FILES ${SERBOLT_COPYRIGHT_FILE} DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(SERBOLT_GZIP)
  set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND ${SERBOLT_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${changelog_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
    VERBATIM)
  add_custom_target(changelog_gz ALL DEPENDS ${changelog_gz})
  install(FILES ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# The Debian package: one package of the component "serbolt"; serbolt2.exe stays out of it.
set(CPACK_PACKAGE_NAME serbolt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${serbolt_maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "terminal and file upload for the Korvan on a serial line")
# CPack puts the summary on the Description line and this text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The Korvan is a small device behind a USB serial adapter at 921600 baud.
serbolt is a console terminal for it (what the device sends appears on the
screen, every key typed goes to the device) and uploads one file to it with
the device's filecopy exchange, optionally followed by a reboot or reset.
.
korvan-sim simulates the device on a pseudo-terminal, to try serbolt
without one.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${serbolt_maintainer}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The completion file is read only by bash-completion's loader, which a minimal Debian lacks.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL serbolt)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_GENERATOR DEB)
set(CPACK_SERBOLT_SANITIZE ${SERBOLT_SANITIZE})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-project.cmake)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

# The Windows zip.
find_program(SERBOLT_GROFF groff)
find_program(SERBOLT_MINGW_STRIP x86_64-w64-mingw32-strip)
if(SERBOLT_MINGW_CXX AND SERBOLT_GROFF)
  set(SERBOLT2_ZIP ${CMAKE_BINARY_DIR}/serbolt2-${PROJECT_VERSION}-win64.zip)
  add_custom_command(OUTPUT ${SERBOLT2_ZIP}
    COMMAND ${CMAKE_COMMAND}
      -DVERSION=${PROJECT_VERSION}
      -DEXE=${CMAKE_BINARY_DIR}/serbolt2.exe
      -DREADME=${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
      -DPAGE=${PROJECT_SOURCE_DIR}/man/serbolt2.1
      -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE
      -DGROFF=${SERBOLT_GROFF}
      -DWORK=${CMAKE_BINARY_DIR}/packaging/win64
      -DZIP=${SERBOLT2_ZIP}
      -DSTRIP=${SERBOLT_MINGW_STRIP}
      -P ${PROJECT_SOURCE_DIR}/cmake/make-win-zip.cmake
    DEPENDS serbolt2_win ${CMAKE_BINARY_DIR}/serbolt2.exe
      ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
      ${PROJECT_SOURCE_DIR}/man/serbolt2.1
      ${PROJECT_SOURCE_DIR}/LICENSE
      ${PROJECT_SOURCE_DIR}/cmake/make-win-zip.cmake
    VERBATIM)
  add_custom_target(serbolt2_zip DEPENDS ${SERBOLT2_ZIP})
endif()
