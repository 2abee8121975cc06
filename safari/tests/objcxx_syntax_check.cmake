# Compiles every Objective-C++ file of KarvoSafari (src/**/*.mm) with clang against the declarations of
# the Apple APIs in apple_sdk_stubs/: Objective-C++ with ARC, the project's warnings and -Werror. Fails
# when any file does not compile. This proves syntax, ARC ownership and warnings on every Apple line,
# not that the macOS SDK declares the same signatures (apple_sdk_stubs/README.md).
#
#   cmake -DSETTINGS=<objcxx_check_settings.cmake> -P objcxx_syntax_check.cmake
#
# SETTINGS sets CLANG, SOURCE_DIR (safari/), STUBS_DIR, INCLUDE_DIRS, IMPLICIT_INCLUDE_DIRS and WARNINGS.
cmake_minimum_required(VERSION 3.25)

include("${SETTINGS}")
if(NOT EXISTS "${CLANG}")
  message(FATAL_ERROR "No clang++ to check the Objective-C++ files with (${CLANG}); install clang-14.")
endif()

file(GLOB_RECURSE sources LIST_DIRECTORIES false "${SOURCE_DIR}/src/*.mm")
list(SORT sources)
if(NOT sources)
  message(FATAL_ERROR "No Objective-C++ files under ${SOURCE_DIR}/src")
endif()

# As clang compiles them for a Mac: blocks are on there by default; the runtime is the one of the
# extension's oldest system (LSMinimumSystemVersion).
set(flags -x objective-c++ -std=c++20 -fobjc-arc -fobjc-runtime=macosx-13.0 -fblocks -fsyntax-only
          ${WARNINGS} -Werror -isystem "${STUBS_DIR}")
# The compiler's own directories stay out: named again, they would break its #include_next chain.
list(REMOVE_DUPLICATES INCLUDE_DIRS)
foreach(dir IN LISTS INCLUDE_DIRS)
  if(NOT dir IN_LIST IMPLICIT_INCLUDE_DIRS AND NOT dir STREQUAL "/usr/include")
    list(APPEND flags -isystem "${dir}")
  endif()
endforeach()

set(failed "")
foreach(source IN LISTS sources)
  execute_process(COMMAND "${CLANG}" ${flags} "${source}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(result EQUAL 0)
    message(STATUS "compiles: ${source}")
  else()
    message("${output}")
    list(APPEND failed "${source}")
  endif()
endforeach()
if(failed)
  list(JOIN failed "\n  " list)
  message(FATAL_ERROR "Objective-C++ files that do not compile:\n  ${list}")
endif()
