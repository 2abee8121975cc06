# Run by `cmake --install` when KARVO_REGISTER_ON_INSTALL is on: registers the karvo-host just installed,
# system-wide, for every supported browser whose extensions were given. With DESTDIR set, the manifests
# go under it (for packages) and still name the host by its final path. The manifests are listed in
# install_manifest.txt with the other installed files, so that removing what that list names removes
# them too.
set(_host "${CMAKE_INSTALL_PREFIX}/bin/karvo-host")
set(_register "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/karvo-register")
set(_args install --system --all --host "${_host}")
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  list(APPEND _args --root "$ENV{DESTDIR}")
endif()
foreach(_origin IN LISTS KARVO_INSTALL_ORIGINS)
  list(APPEND _args --origin "${_origin}")
endforeach()
foreach(_id IN LISTS KARVO_INSTALL_FIREFOX_IDS)
  list(APPEND _args --extension-id "${_id}")
endforeach()
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
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_MATCH_2}")
  endif()
endforeach()
