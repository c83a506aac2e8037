#!/bin/bash
# Installs what the Windows build and its tests need on Debian: the MinGW-w64 cross compilers of
# the posix thread model, Wine to run the tests, and GoogleTest's sources. Runs as root; the
# package lists are fetched once, and only when something is missing.
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix wine wine64 googletest)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if ((${#missing[@]} == 0)); then
  echo "windows-deps: all installed"
  exit 0
fi
echo "windows-deps: installing ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
