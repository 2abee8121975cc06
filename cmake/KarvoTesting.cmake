# karvo_add_gtest(NAME SOURCES... [LIBS libs...] [DEPENDS programs...] [LABELS labels...]
#                 [TIMEOUT seconds])
# A GoogleTest executable registered with CTest as one test per test case. Every test runs with HOME
# pointing nowhere (see KARVO_TEST_ENV); the paths of the built programs are compiled in, and the
# programs in DEPENDS are built before it. Nothing without BUILD_TESTING.
function(karvo_add_gtest name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;DEPENDS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # Where the built programs and the sources are, for tests that start programs or read test data.
  target_compile_definitions(${name} PRIVATE
    KARVO_BIN_DIR="${CMAKE_BINARY_DIR}/bin" KARVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    KARVO_JSON_SAMPLES_DIR="${KARVO_JSON_SAMPLES_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "${KARVO_TEST_ENV}"
               TIMEOUT ${ARG_TIMEOUT}
               LABELS "${ARG_LABELS}")
  set_property(GLOBAL APPEND PROPERTY KARVO_TEST_TARGETS ${name})
endfunction()
