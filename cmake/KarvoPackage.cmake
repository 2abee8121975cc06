# The Debian package karvo-host, made by `cpack -G DEB` in the build folder: karvo-host and karvo-open,
# the tools (karvo-register, karvo-doctor, karvo-browser) in /usr/bin, their manual pages, and the
# licence. Given the extensions allowed to connect, the package also carries the system-wide manifests
# of every supported browser, so that installing it registers the host; they are configuration, which
# purging the package removes:
#   cpack -G DEB -D CPACK_KARVO_ORIGINS="chrome-extension://ID/;..." -D CPACK_KARVO_FIREFOX_IDS="a@b.c;..."
# (defaults: KARVO_ALLOWED_ORIGINS and KARVO_ALLOWED_FIREFOX_IDS).
set(KARVO_PACKAGE_CONTACT "Karvo <support@karvo.com>" CACHE STRING "Maintainer of the Debian package")

# The day of this release, for the package's change log and the manual pages: building again gives the
# same files.
set(KARVO_RELEASE_EPOCH 1796731200)  # 2026-12-08 12:00:00 UTC

# Manual pages of the programs on Linux, installed with them: from their --help text by help2man, and
# karvo-host's written out (a browser may pass it anything, so it has no --help). Builds with sanitizers
# are not installed, and make none.
if(NOT APPLE AND NOT CMAKE_CROSSCOMPILING AND KARVO_SANITIZE STREQUAL "")
  find_program(KARVO_HELP2MAN help2man)
  find_program(KARVO_GZIP gzip)
  if(KARVO_HELP2MAN AND KARVO_GZIP)
    set(man "${CMAKE_BINARY_DIR}/man")
    set(ENV{SOURCE_DATE_EPOCH} ${KARVO_RELEASE_EPOCH})
    string(TIMESTAMP KARVO_RELEASE_MONTH "%B %Y" UTC)
    unset(ENV{SOURCE_DATE_EPOCH})
    configure_file(cmake/debian/karvo-host.1.in ${man}/source/karvo-host.1 @ONLY)
    add_custom_command(OUTPUT ${man}/karvo-host.1.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${man}/source/karvo-host.1 ${man}/karvo-host.1
      COMMAND ${KARVO_GZIP} -9nf ${man}/karvo-host.1
      DEPENDS ${man}/source/karvo-host.1 VERBATIM)
    set(pages ${man}/karvo-host.1.gz)
    foreach(tool_and_summary IN ITEMS
        "karvo-open|starts an application detached, as the platform's open does"
        "karvo-register|registers karvo-host with the browsers"
        "karvo-doctor|tells why a browser extension cannot reach Karvo"
        "karvo-browser|plays a browser against a native messaging host")
      string(REPLACE "|" ";" tool_and_summary "${tool_and_summary}")
      list(GET tool_and_summary 0 tool)
      list(GET tool_and_summary 1 summary)
      add_custom_command(OUTPUT ${man}/${tool}.1.gz
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${KARVO_RELEASE_EPOCH} LC_ALL=C.UTF-8
                ${KARVO_HELP2MAN} --no-info --name=${summary} --output=${man}/${tool}.1 $<TARGET_FILE:${tool}>
        COMMAND ${KARVO_GZIP} -9nf ${man}/${tool}.1
        DEPENDS ${tool} VERBATIM)
      list(APPEND pages ${man}/${tool}.1.gz)
    endforeach()
    add_custom_target(karvo_manual_pages ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION share/man/man1)
  else()
    message(STATUS "help2man or gzip is missing: the programs get no manual pages")
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME karvo-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KARVO_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "native messaging host that connects browser extensions to Karvo")
set(CPACK_PACKAGE_DESCRIPTION "karvo-host is started by Google Chrome, Chromium, Microsoft Edge,
Brave, Vivaldi, Firefox and their kin for the Karvo extension, and relays its
messages to the Karvo desktop application, starting it when asked to.
karvo-register registers the host with the browsers, karvo-doctor explains why
an extension cannot reach Karvo, and karvo-browser plays a browser against it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The install runs with DESTDIR set to the staging folder and the final prefix, so that manifests
# written during it name the host by its installed path.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_KARVO_ORIGINS "${KARVO_ALLOWED_ORIGINS}")
set(CPACK_KARVO_FIREFOX_IDS "${KARVO_ALLOWED_FIREFOX_IDS}")
set(CPACK_KARVO_REGISTER_SCRIPT "${CMAKE_CURRENT_SOURCE_DIR}/tools/register/register_on_install.cmake")
# What only the package carries (the system-wide manifests, Debian's documentation files and the
# maintainer scripts) is added to the staged files by this script, so that `cmake --install` into a
# prefix never installs it.
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/karvo_package_manifests.cmake")
set(CPACK_KARVO_SOURCE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
set(CPACK_KARVO_OBJCOPY "${CMAKE_OBJCOPY}")
set(CPACK_KARVO_RELEASE_EPOCH ${KARVO_RELEASE_EPOCH})
set(CPACK_KARVO_CONTROL_DIR "${CMAKE_BINARY_DIR}/package/control")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CPACK_KARVO_CONTROL_DIR}/postinst;${CPACK_KARVO_CONTROL_DIR}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
