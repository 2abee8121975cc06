#!/usr/bin/env bash
# Checks what a Mac build ships (macOS only: lipo, vtool and otool come with Xcode's tools). Every file
# given must hold both architectures, each built for macOS 13.0 at the oldest, and load nothing but the
# system's own libraries and frameworks: a library from a package manager exists only on the build machine.
#   scripts/check-mac-binaries.sh build/universal/bin/karvo-host \
#       build/universal/bin/KarvoSafari.appex/Contents/MacOS/KarvoSafari
set -euo pipefail
minimum=13.0
archs=(arm64 x86_64)
[ $# -gt 0 ] || { echo "usage: $0 BINARY..." >&2; exit 2; }

failed=0
fail() { echo "FAIL $1: $2" >&2; failed=1; }

for file in "$@"; do
  [ -f "$file" ] || { fail "$file" "no such file"; continue; }
  held=$(lipo -archs "$file")
  echo "$file: architectures: $held"
  for arch in "${archs[@]}"; do
    if [[ " $held " != *" $arch "* ]]; then
      fail "$file" "no $arch code"
      continue
    fi
    # LC_BUILD_VERSION's "minos" is the oldest macOS that loads this architecture's code.
    minos=$(vtool -arch "$arch" -show-build "$file" | awk '$1 == "minos" { print $2; exit }')
    echo "$file [$arch]: minos ${minos:-none}"
    [ "$minos" = "$minimum" ] || fail "$file" "$arch built for macOS ${minos:-(no build version)}, not $minimum"
    # The first line names the file; each further line is one library it loads.
    while read -r library _; do
      case "$library" in
        /usr/lib/* | /System/*) ;;
        *) fail "$file" "$arch loads $library, which is not the system's" ;;
      esac
    done < <(otool -arch "$arch" -L "$file" | tail -n +2)
  done
done
[ "$failed" = 0 ] && echo "all binaries hold ${archs[*]}, for macOS $minimum, loading only system libraries"
exit "$failed"
