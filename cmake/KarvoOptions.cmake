# Build options shared by every target.
#   KARVO_SANITIZE: "" (none), "address" (AddressSanitizer + UndefinedBehaviorSanitizer) or "thread".
#   KARVO_WERROR:   turn warnings into errors (the test command sets it).
#   KARVO_STATIC_RUNTIME: link the C++ runtime into karvo-host (default on Linux without sanitizers).
#                   Boost.JSON is always built into the host from its headers (host/src/json_library.cpp).
set(KARVO_SANITIZE "" CACHE STRING "Sanitizer build: '', 'address' or 'thread'")
set_property(CACHE KARVO_SANITIZE PROPERTY STRINGS "" address thread)
option(KARVO_WERROR "Treat warnings as errors" OFF)

# karvo-host starts once per browser connection and then mostly waits. With the C++ runtime linked in,
# the loader maps and relocates far fewer pages at start-up and fewer stay resident while it idles. Off under the sanitizers, whose runtimes take the shared C++ library, and on
# Apple, whose C++ runtime is part of the system.
if(KARVO_SANITIZE STREQUAL "" AND NOT APPLE)
  set(karvo_static_runtime_default ON)
else()
  set(karvo_static_runtime_default OFF)
endif()
option(KARVO_STATIC_RUNTIME "Link the C++ runtime into karvo-host" ${karvo_static_runtime_default})

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
                    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
                    -Wimplicit-fallthrough)
if(KARVO_WERROR)
  add_compile_options(-Werror)
endif()

if(KARVO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KARVO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KARVO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KARVO_SANITIZE must be '', 'address' or 'thread'")
endif()

# Every test's environment points HOME at a directory that does not exist, so that no test can
# reach the real home by accident; tests that need a home make a scratch one.
set(KARVO_TEST_ENV "HOME=/nonexistent/karvo-test-home")
