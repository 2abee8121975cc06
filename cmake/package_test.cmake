# Builds the Debian package from this build with extensions given, checks its contents, lints it with
# lintian when that is installed, and installs and removes it in a scratch dpkg root: the manifests come
# and go with the package.
#   cmake -DCPACK=<cpack> -DBUILD=<build folder> -DWORK=<scratch folder> -P this file
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CPACK}" -G DEB -B "${WORK}" -D "CPACK_KARVO_ORIGINS=chrome-extension://abcdefghijklmnopabcdefghijklmnop/"
                        -D "CPACK_KARVO_FIREFOX_IDS=bridge@karvo.com"
                WORKING_DIRECTORY "${BUILD}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB deb "${WORK}/karvo-host_*.deb")
if(NOT rc EQUAL 0 OR NOT deb)
  message(FATAL_ERROR "cpack failed (${rc}):\n${out}")
endif()

execute_process(COMMAND dpkg-deb -c "${deb}" OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
set(expected
  ./usr/bin/karvo-host ./usr/bin/karvo-open ./usr/bin/karvo-register ./usr/bin/karvo-doctor ./usr/bin/karvo-browser
  ./usr/share/doc/karvo-host/copyright ./usr/share/doc/karvo-host/changelog.gz
  ./etc/opt/chrome/native-messaging-hosts/com.karvo.bridge.json
  ./etc/chromium/native-messaging-hosts/com.karvo.bridge.json
  ./etc/opt/edge/native-messaging-hosts/com.karvo.bridge.json
  ./etc/opt/vivaldi/native-messaging-hosts/com.karvo.bridge.json
  ./usr/lib/mozilla/native-messaging-hosts/com.karvo.bridge.json)
foreach(path IN LISTS expected)
  string(FIND "${listing}" " ${path}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${path} is not in the package:\n${listing}")
  endif()
endforeach()
execute_process(COMMAND dpkg-deb -f "${deb}" Package Depends OUTPUT_VARIABLE fields COMMAND_ERROR_IS_FATAL ANY)
if(NOT fields MATCHES "Package: karvo-host\n" OR NOT fields MATCHES "Depends: .*libc6")
  message(FATAL_ERROR "control fields: ${fields}")
endif()
# The manifests name the installed host.
execute_process(COMMAND dpkg-deb -x "${deb}" "${WORK}/contents" COMMAND_ERROR_IS_FATAL ANY)
file(READ "${WORK}/contents/etc/chromium/native-messaging-hosts/com.karvo.bridge.json" manifest)
if(NOT manifest MATCHES "\"path\": \"/usr/bin/karvo-host\"")
  message(FATAL_ERROR "the manifest names another host:\n${manifest}")
endif()

find_program(LINTIAN lintian)
if(LINTIAN)
  execute_process(COMMAND "${LINTIAN}" --fail-on error "${deb}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lintian found errors:\n${out}")
  endif()
else()
  message(STATUS "lintian is not installed: the package is not linted")
endif()

# Install and remove in a dpkg root of its own.
set(root "${WORK}/root")
file(MAKE_DIRECTORY "${root}/var/lib/dpkg/info" "${root}/var/lib/dpkg/updates")
file(TOUCH "${root}/var/lib/dpkg/status")
set(dpkg dpkg --root=${root} --force-depends --force-not-root --force-script-chrootless --log=/dev/null)
execute_process(COMMAND ${dpkg} -i "${deb}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT EXISTS "${root}/etc/opt/chrome/native-messaging-hosts/com.karvo.bridge.json")
  message(FATAL_ERROR "installing failed (${rc}):\n${out}")
endif()
execute_process(COMMAND ${dpkg} -r karvo-host RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB_RECURSE left LIST_DIRECTORIES false "${root}/etc/*" "${root}/usr/*")
if(NOT rc EQUAL 0 OR left)
  message(FATAL_ERROR "removing failed (${rc}) or left ${left}:\n${out}")
endif()
file(REMOVE_RECURSE "${WORK}")
