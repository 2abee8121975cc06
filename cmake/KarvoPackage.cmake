# The Debian package karvo-host, made by `cpack -G DEB` in the build folder: karvo-host and karvo-open,
# the tools (karvo-register, karvo-doctor, karvo-browser) in /usr/bin, and the licence. Given the
# extensions allowed to connect, the package also carries the system-wide manifests of every supported
# browser, so that installing it registers the host and removing it removes them with it:
#   cpack -G DEB -D CPACK_KARVO_ORIGINS="chrome-extension://ID/;..." -D CPACK_KARVO_FIREFOX_IDS="a@b.c;..."
# (defaults: KARVO_ALLOWED_ORIGINS and KARVO_ALLOWED_FIREFOX_IDS).
set(KARVO_PACKAGE_CONTACT "Karvo <support@karvo.com>" CACHE STRING "Maintainer of the Debian package")

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
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/karvo_package_manifests.cmake")

install(FILES LICENSE DESTINATION share/doc/karvo-host RENAME copyright)
# Debian wants a compressed change log beside the copyright.
configure_file(cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
file(ARCHIVE_CREATE OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz PATHS ${CMAKE_BINARY_DIR}/package/changelog
     FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION share/doc/karvo-host)
install(FILES cmake/debian/lintian-overrides DESTINATION share/lintian/overrides RENAME karvo-host)
include(CPack)
