# Run by CPack once the files are staged: writes the system-wide manifests into the package when
# extensions were given (see KarvoPackage.cmake). The files then belong to the package: dpkg removes
# them with it.
if(NOT CPACK_KARVO_ORIGINS AND NOT CPACK_KARVO_FIREFOX_IDS)
  return()
endif()
set(ENV{DESTDIR} "${CPACK_TEMPORARY_DIRECTORY}")
set(CMAKE_INSTALL_PREFIX "${CPACK_PACKAGING_INSTALL_PREFIX}")
set(KARVO_INSTALL_ORIGINS "${CPACK_KARVO_ORIGINS}")
set(KARVO_INSTALL_FIREFOX_IDS "${CPACK_KARVO_FIREFOX_IDS}")
include("${CPACK_KARVO_REGISTER_SCRIPT}")
