#!/usr/bin/env bash
# Every test, from scratch: installs what is missing, then builds and runs the whole suite three times
# (g++ plain, clang with AddressSanitizer + UndefinedBehaviorSanitizer, clang with ThreadSanitizer),
# warnings as errors.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
# The real-browser tests drive Debian's chromium and firefox-esr.
"$root/scripts/install-browsers.sh"

jobs=$(nproc)
suite() {
  local name=$1 ctest_args=$2
  shift 2
  local dir="$root/build/$name"
  echo "=== $name build"
  rm -rf "$dir"
  cmake -S "$root" -B "$dir" -G Ninja -DKARVO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name tests"
  # Many tests mostly wait on clocks and child processes, so they run more widely than the cores.
  (cd "$dir" && ctest --output-on-failure -j $((jobs * 3)) $ctest_args)
}

# The real browsers run against the plain build; the sanitizer builds cover the same host code through
# the black-box tests.
suite plain "" -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
suite asan "-LE browser" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DKARVO_SANITIZE=address
suite tsan "-LE browser" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DKARVO_SANITIZE=thread
echo "=== all suites passed"
