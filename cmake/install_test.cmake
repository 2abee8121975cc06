# Installs this build with `cmake --install` into a scratch DESTDIR under another prefix, and checks
# that install_manifest.txt lists the installed paths (without DESTDIR), files first and then the
# folders that installing made, that nothing only the Debian package carries was installed, and that
# README's uninstall leaves the scratch folder as it was (an empty /opt that was there stays).
# The list goes to install_manifest_Unspecified.txt, so that the build's own install_manifest.txt stays.
#   cmake -DBUILD=<build folder> -DWORK=<scratch folder> -P this file
cmake_minimum_required(VERSION 3.25)
set(stage "${WORK}/stage")
set(prefix /opt/karvo)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${stage}/opt")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${stage}"
                        "${CMAKE_COMMAND}" --install "${BUILD}" --prefix ${prefix} --component Unspecified
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()
set(manifest "${BUILD}/install_manifest_Unspecified.txt")
file(STRINGS "${manifest}" listed)
file(GLOB_RECURSE installed LIST_DIRECTORIES true RELATIVE "${stage}" "${stage}/*")
list(REMOVE_ITEM installed opt)
list(TRANSFORM installed PREPEND "/")
list(SORT installed)
set(sorted ${listed})
list(SORT sorted)
if(NOT sorted STREQUAL installed)
  message(FATAL_ERROR "install_manifest lists:\n${listed}\nbut these were installed:\n${installed}")
endif()
foreach(path IN ITEMS ${prefix}/bin/karvo-host ${prefix}/bin/karvo-register ${prefix}/bin ${prefix})
  if(NOT path IN_LIST listed)
    message(FATAL_ERROR "${path} is not listed:\n${listed}")
  endif()
endforeach()
if(listed MATCHES "/share/(doc|lintian)/")
  message(FATAL_ERROR "Debian's files were installed:\n${listed}")
endif()
# Each folder after everything in it.
set(seen "")
foreach(path IN LISTS listed)
  foreach(earlier IN LISTS seen)
    string(FIND "${path}" "${earlier}/" at)
    if(at EQUAL 0)
      message(FATAL_ERROR "${earlier} is listed before ${path}:\n${listed}")
    endif()
  endforeach()
  list(APPEND seen "${path}")
endforeach()

# README: sed "s|^|$DESTDIR|" <build>/install_manifest.txt | xargs -d '\n' rm -df --
execute_process(COMMAND sed "s|^|${stage}|" "${manifest}" COMMAND xargs -d "\n" rm -df -- COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE left LIST_DIRECTORIES true RELATIVE "${stage}" "${stage}/*")
if(NOT left STREQUAL "opt")
  message(FATAL_ERROR "uninstalling left: ${left}")
endif()
file(REMOVE_RECURSE "${WORK}" "${manifest}")
