# Run by `cmake --install` when KARVO_REGISTER_ON_INSTALL is on: registers the karvo-host just installed,
# system-wide, for every supported browser whose extensions were given. With DESTDIR set, the manifests
# go under it (for packages) and still name the host by its final path. The manifests are listed in
# install_manifest.txt with the other installed files, as they are (without DESTDIR), and so are the
# folders made for them, so that removing what that list names removes them too.
set(_host "${CMAKE_INSTALL_PREFIX}/bin/karvo-host")
set(_register "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/karvo-register")
set(_args install --system --all --host "${_host}")
# karvo-register prints paths under the root given, which it names without a trailing slash.
string(REGEX REPLACE "/+$" "" _root "$ENV{DESTDIR}")
string(LENGTH "${_root}" _root_length)
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  list(APPEND _args --root "$ENV{DESTDIR}")
endif()
foreach(_origin IN LISTS KARVO_INSTALL_ORIGINS)
  list(APPEND _args --origin "${_origin}")
endforeach()
foreach(_id IN LISTS KARVO_INSTALL_FIREFOX_IDS)
  list(APPEND _args --extension-id "${_id}")
endforeach()
# The folders that registering will make, from what it would write.
if(COMMAND karvo_note_new_folders)
  execute_process(COMMAND "${_register}" ${_args} --dry-run OUTPUT_VARIABLE _out)
  string(REPLACE "\n" ";" _lines "${_out}")
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "^would write (.+) \\([^()]*\\):$")
      string(SUBSTRING "${CMAKE_MATCH_1}" ${_root_length} -1 _path)
      get_filename_component(_folder "${_path}" DIRECTORY)
      karvo_note_new_folders("${_folder}")
    endif()
  endforeach()
endif()
message(STATUS "Registering ${_host} with the browsers")
execute_process(COMMAND "${_register}" ${_args} RESULT_VARIABLE _rc OUTPUT_VARIABLE _out)
message("${_out}")
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "karvo-register failed (${_rc})")
endif()
# "wrote PATH (browsers, system-wide)" and "unchanged PATH (...)": the manifests now in place.
string(REPLACE "\n" ";" _lines "${_out}")
foreach(_line IN LISTS _lines)
  if(_line MATCHES "^(wrote|unchanged) (.+) \\([^()]*\\)$")
    string(SUBSTRING "${CMAKE_MATCH_2}" ${_root_length} -1 _path)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_path}")
    # Installed in place (no DESTDIR), registration keeps its record of what it made beside the manifest;
    # it goes with the manifest.
    get_filename_component(_folder "${_path}" DIRECTORY)
    get_filename_component(_name "${_path}" NAME)
    if(EXISTS "${_root}${_folder}/.${_name}.karvo-register")
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_folder}/.${_name}.karvo-register")
    endif()
  endif()
endforeach()
