# Included by `cmake --install`: notes the folders that installing makes, and lists them in
# install_manifest.txt after the files, deepest first, so that removing what it lists leaves nothing
# that installing added, and everything that was there before:
#   xargs -d '\n' rm -df -- < install_manifest.txt
# Paths are the installed ones, without DESTDIR, as CMake lists the files.
include_guard(GLOBAL)
# cmake_install.cmake runs under the oldest policies; the functions below keep these.
cmake_policy(VERSION 3.25)

# Notes each folder given (an installed path) and those on the way to it that do not exist yet.
function(karvo_note_new_folders)
  set(noted ${KARVO_NEW_FOLDERS})
  foreach(folder IN LISTS ARGN)
    while(NOT folder STREQUAL "" AND NOT folder STREQUAL "/" AND NOT EXISTS "$ENV{DESTDIR}${folder}")
      list(APPEND noted "${folder}")
      get_filename_component(folder "${folder}" DIRECTORY)
    endwhile()
  endforeach()
  set(KARVO_NEW_FOLDERS ${noted} PARENT_SCOPE)
endfunction()

# Adds the noted folders that installing made to the install manifest.
function(karvo_list_new_folders)
  set(made "")
  foreach(folder IN LISTS KARVO_NEW_FOLDERS)
    if(IS_DIRECTORY "$ENV{DESTDIR}${folder}" AND NOT folder IN_LIST made)
      list(APPEND made "${folder}")
    endif()
  endforeach()
  list(SORT made ORDER DESCENDING)
  set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} ${made} PARENT_SCOPE)
endfunction()
