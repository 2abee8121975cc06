# Run by CPack once the files are staged (see KarvoPackage.cmake); adds what only the Debian package
# carries:
# - the system-wide manifests, when extensions were given. The package carries them in
#   /usr/share/karvo-host/system-manifests, and its maintainer scripts put them where the browsers read
#   them and keep them as configuration (cmake/debian/postinst.in): an administrator's change survives
#   an upgrade, and purging leaves every folder that was there before (dpkg would remove an empty
#   /etc/opt that the package listed, though no package owns it);
# - the licence as Debian's copyright file and the change log.
set(stage "${CPACK_TEMPORARY_DIRECTORY}")
set(control "${CPACK_KARVO_CONTROL_DIR}")
set(debian "${CPACK_KARVO_SOURCE_DIR}/cmake/debian")

set(KARVO_SYSTEM_MANIFESTS "")
if(CPACK_KARVO_ORIGINS OR CPACK_KARVO_FIREFOX_IDS)
  set(ENV{DESTDIR} "${stage}")
  set(CMAKE_INSTALL_PREFIX "${CPACK_PACKAGING_INSTALL_PREFIX}")
  set(KARVO_INSTALL_ORIGINS "${CPACK_KARVO_ORIGINS}")
  set(KARVO_INSTALL_FIREFOX_IDS "${CPACK_KARVO_FIREFOX_IDS}")
  set(CMAKE_INSTALL_MANIFEST_FILES "")
  include("${CPACK_KARVO_REGISTER_SCRIPT}")
  unset(ENV{DESTDIR})
  set(shipped "${stage}/usr/share/karvo-host/system-manifests")
  foreach(path IN LISTS CMAKE_INSTALL_MANIFEST_FILES)  # installed paths, such as /etc/chromium/...
    set(file "${stage}${path}")
    get_filename_component(folder "${shipped}${path}" DIRECTORY)
    file(MAKE_DIRECTORY "${folder}")
    file(RENAME "${file}" "${shipped}${path}")
    list(APPEND KARVO_SYSTEM_MANIFESTS "${path}")
    # The folders that held it go too, up to the first that holds something else.
    get_filename_component(folder "${file}" DIRECTORY)
    while(NOT folder STREQUAL stage)
      file(GLOB left "${folder}/*")
      if(left)
        break()
      endif()
      file(REMOVE_RECURSE "${folder}")
      get_filename_component(folder "${folder}" DIRECTORY)
    endwhile()
  endforeach()
  list(SORT KARVO_SYSTEM_MANIFESTS)
endif()
list(JOIN KARVO_SYSTEM_MANIFESTS " " KARVO_SYSTEM_MANIFESTS)
configure_file("${debian}/postinst.in" "${control}/postinst" @ONLY)
configure_file("${debian}/postrm.in" "${control}/postrm" @ONLY)

set(doc "${stage}/usr/share/doc/karvo-host")
file(MAKE_DIRECTORY "${doc}")
file(COPY_FILE "${CPACK_KARVO_SOURCE_DIR}/LICENSE" "${doc}/copyright")
# The change log, dated with the release and compressed without a time stamp of its own.
set(PROJECT_VERSION "${CPACK_PACKAGE_VERSION}")
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_KARVO_RELEASE_EPOCH}")
string(TIMESTAMP KARVO_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
unset(ENV{SOURCE_DATE_EPOCH})
configure_file("${debian}/changelog.in" "${doc}/changelog" @ONLY)
execute_process(COMMAND gzip -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)

# The programs' .comment sections (the compilers' names) are of no use in the package.
file(GLOB programs "${stage}/usr/bin/*")
if(CPACK_KARVO_OBJCOPY)
  foreach(program IN LISTS programs)
    execute_process(COMMAND "${CPACK_KARVO_OBJCOPY}" --remove-section=.comment "${program}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()
