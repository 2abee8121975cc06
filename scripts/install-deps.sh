#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, or the packages named as arguments, when
# any is missing (as root, or through sudo). Nothing is fetched from anywhere but the distribution's
# package archive.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-14 libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev
  libboost1.81-dev libfast-float-dev nlohmann-json3-dev libplist-dev libutf8proc-dev libglib2.0-dev
  python3-yaml dbus-daemon
  dpkg-dev lintian help2man
)
[ $# -gt 0 ] && packages=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
