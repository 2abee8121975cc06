// Shared by the fuzz targets: a property that does not hold aborts with its text, so that libFuzzer
// reports the input as a crash and keeps it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace karvo::fuzz {

[[noreturn]] inline void property_failed(const char* property, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, property);
  std::abort();
}

}  // namespace karvo::fuzz

#define KARVO_FUZZ_CHECK(property)                                                 \
  do {                                                                            \
    if (!(property)) ::karvo::fuzz::property_failed(#property, __FILE__, __LINE__); \
  } while (false)
