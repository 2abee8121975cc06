# Builds the Debian package from this build with extensions given, checks its contents and lints it
# with lintian (when installed: no error or warning), then, in a scratch dpkg root that has a stand-in
# base system (a package that owns /usr, /usr/bin, ...) and folders owned by no package (an empty
# /etc/opt, /usr/lib/mozilla): installs it, lets an administrator allow one more extension
# system-wide, reinstalls and upgrades it (the change is kept; a manifest left alone follows the
# package), removes it (the manifests stay, as configuration) and purges it, which leaves the root
# exactly as it was before.
#   cmake -DCPACK=<cpack> -DBUILD=<build folder> -DWORK=<scratch folder> -P this file
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
set(origin "chrome-extension://abcdefghijklmnopabcdefghijklmnop/")
set(admin_origin "chrome-extension://bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb/")
set(next_origin "chrome-extension://cccccccccccccccccccccccccccccccc/")

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "${text}")
endfunction()

# Makes the package into ${WORK}/<name>, allowing the extensions in the lists `origins` and `ids`, with
# the version given, if any; its path in `out`.
function(make_package out name origins ids)
  set(version_args "")
  if(ARGN)
    set(version_args -D "CPACK_PACKAGE_VERSION=${ARGN}")
  endif()
  execute_process(COMMAND "${CPACK}" -G DEB -B "${WORK}/${name}" -D "CPACK_KARVO_ORIGINS=${origins}"
                          -D "CPACK_KARVO_FIREFOX_IDS=${ids}" ${version_args}
                  WORKING_DIRECTORY "${BUILD}" RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE text)
  file(GLOB deb "${WORK}/${name}/karvo-host_*.deb")
  if(NOT rc EQUAL 0 OR NOT deb)
    fail("cpack failed (${rc}):\n${text}")
  endif()
  set(${out} "${deb}" PARENT_SCOPE)
endfunction()

make_package(deb first "${origin}" bridge@karvo.com)
execute_process(COMMAND dpkg-deb -f "${deb}" Package Version Depends OUTPUT_VARIABLE fields COMMAND_ERROR_IS_FATAL ANY)
if(NOT fields MATCHES "Depends: .*libc6" OR NOT fields MATCHES "Package: karvo-host\nVersion: ([^\n]+)\n")
  fail("control fields: ${fields}")
endif()
set(version "${CMAKE_MATCH_1}")
# The next version allows one more extension in every manifest.
make_package(next_deb next "${origin};${next_origin}" "bridge@karvo.com;next@karvo.com" "${version}+next")

set(programs karvo-host karvo-open karvo-register karvo-doctor karvo-browser)
set(manifests
  /etc/opt/chrome/native-messaging-hosts/com.karvo.bridge.json
  /etc/chromium/native-messaging-hosts/com.karvo.bridge.json
  /etc/opt/edge/native-messaging-hosts/com.karvo.bridge.json
  /etc/opt/vivaldi/native-messaging-hosts/com.karvo.bridge.json
  /usr/lib/mozilla/native-messaging-hosts/com.karvo.bridge.json)
execute_process(COMMAND dpkg-deb -c "${deb}" OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
set(expected ./usr/share/doc/karvo-host/copyright ./usr/share/doc/karvo-host/changelog.gz)
foreach(program IN LISTS programs)
  list(APPEND expected ./usr/bin/${program} ./usr/share/man/man1/${program}.1.gz)
endforeach()
foreach(manifest IN LISTS manifests)
  list(APPEND expected ./usr/share/karvo-host/system-manifests${manifest})
endforeach()
foreach(path IN LISTS expected)
  string(FIND "${listing}" " ${path}\n" at)
  if(at EQUAL -1)
    fail("${path} is not in the package:\n${listing}")
  endif()
endforeach()
# Nothing in /etc: the maintainer scripts put the manifests there.
if(listing MATCHES " \\./etc/")
  fail("the package lists files in /etc:\n${listing}")
endif()

find_program(LINTIAN lintian)
if(LINTIAN)
  execute_process(COMMAND "${LINTIAN}" --fail-on error,warning "${deb}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0 OR out MATCHES "(^|\n)[EW]: ")
    fail("lintian found errors or warnings:\n${out}")
  endif()
else()
  message(STATUS "lintian is not installed: the package is not linted")
endif()

# The scratch root: a stand-in base system, and folders that no package owns.
set(root "${WORK}/root")
set(base "${WORK}/base")
foreach(folder etc usr usr/bin usr/lib usr/share usr/share/doc usr/share/man usr/share/man/man1)
  file(MAKE_DIRECTORY "${base}/${folder}")
endforeach()
file(WRITE "${base}/DEBIAN/control" "Package: karvo-test-base\nVersion: 1\nArchitecture: all\n"
     "Maintainer: Karvo <support@karvo.com>\nDescription: stand-in base system\n")
execute_process(COMMAND dpkg-deb --root-owner-group -b "${base}" "${WORK}/base.deb" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(MAKE_DIRECTORY "${root}/var/lib/dpkg/info" "${root}/var/lib/dpkg/updates" "${root}/etc/opt" "${root}/usr/lib/mozilla")
file(TOUCH "${root}/var/lib/dpkg/status")
set(dpkg dpkg --root=${root} --force-depends --force-not-root --force-script-chrootless --log=/dev/null)
execute_process(COMMAND ${dpkg} -i "${WORK}/base.deb" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)

# Every path under the root but dpkg's own records, with its type, permissions and owner.
function(snapshot out)
  execute_process(COMMAND find . -path ./var/lib/dpkg -prune -o -printf "%y %m %u:%g %p\n"
                  WORKING_DIRECTORY "${root}" OUTPUT_VARIABLE text COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" lines "${text}")
  list(SORT lines)
  list(JOIN lines "\n" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Runs dpkg with the arguments given; its output in `out`.
function(run_dpkg out)
  execute_process(COMMAND ${dpkg} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE text)
  if(NOT rc EQUAL 0)
    fail("dpkg ${ARGN} failed (${rc}):\n${text}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Fails unless the manifest at `path` in the root allows every extension in ARGN.
function(expect_allowed path)
  if(NOT EXISTS "${root}${path}")
    fail("${path} is missing")
  endif()
  file(READ "${root}${path}" text)
  foreach(extension IN LISTS ARGN)
    string(FIND "${text}" "\"${extension}\"" at)
    if(at EQUAL -1)
      fail("${path} does not allow ${extension}:\n${text}")
    endif()
  endforeach()
endfunction()

snapshot(before)
run_dpkg(out -i "${deb}")
foreach(manifest IN LISTS manifests)
  file(READ "${root}${manifest}" text)
  if(NOT text MATCHES "\"path\": \"/usr/bin/karvo-host\"")
    fail("${manifest} names another host:\n${text}")
  endif()
endforeach()
foreach(program IN LISTS programs)
  execute_process(COMMAND "${root}/usr/bin/${program}" --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "${program} ${version}\n")
    fail("${program} --version: ${rc}, ${out}")
  endif()
endforeach()

# An administrator allows one more extension; karvo-register says that the package keeps the change.
execute_process(COMMAND "${root}/usr/bin/karvo-register" allow --system --all --root "${root}" --origin "${admin_origin}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(FIND "${out}" "note: ${root}/etc/opt/chrome/native-messaging-hosts/com.karvo.bridge.json is configuration of the package karvo-host" at)
if(NOT rc EQUAL 0 OR at EQUAL -1)
  fail("allow --system: ${rc}\n${out}")
endif()
# Reinstalling keeps it; so does upgrading, which puts its own new version beside it and says so, while
# the manifest left alone (Firefox's) becomes the new version.
run_dpkg(out -i "${deb}")
expect_allowed(/etc/chromium/native-messaging-hosts/com.karvo.bridge.json "${origin}" "${admin_origin}")
run_dpkg(out -i "${next_deb}")
foreach(manifest IN LISTS manifests)
  if(manifest MATCHES "^/etc/")
    expect_allowed(${manifest} "${origin}" "${admin_origin}")
    expect_allowed(${manifest}.dpkg-dist "${origin}" "${next_origin}")
    string(FIND "${out}" "kept ${manifest} as changed here" at)
    if(at EQUAL -1)
      fail("the upgrade did not say that it kept ${manifest}:\n${out}")
    endif()
  else()
    expect_allowed(${manifest} bridge@karvo.com next@karvo.com)
  endif()
endforeach()

# Removing keeps the configuration; purging leaves the root as it was.
run_dpkg(out -r karvo-host)
if(EXISTS "${root}/usr/bin/karvo-host" OR NOT EXISTS "${root}/etc/opt/chrome/native-messaging-hosts/com.karvo.bridge.json")
  fail("after removing: the host is still there, or the configuration went:\n${out}")
endif()
run_dpkg(out --purge karvo-host)
snapshot(after)
if(NOT after STREQUAL before)
  fail("purging did not leave the root as it was\nbefore:\n${before}\nafter:\n${after}")
endif()
file(REMOVE_RECURSE "${WORK}")
