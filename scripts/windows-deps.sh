#!/bin/bash
# Installs what the Windows build and its tests need on Debian: the MinGW-w64 cross compilers of
# the posix thread model, Wine to run the tests, GoogleTest's sources, and Tcl and dpkg-dev to
# make SQLite's single-file source. Then makes sqlite3.c and sqlite3.h from Debian's own source
# package of sqlite3 into the build folder ($1, default build-windows/sqlite/), unless they are
# there already.
#
# Installing runs as root; the package lists are fetched once, and only when something is
# missing. The source package comes from deb-src lines of the same suites as the system's own
# sources, which this adds when the system has none.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
sqlite_dir=$build/sqlite

packages=(g++-mingw-w64-x86-64-posix wine wine64 googletest tcl dpkg-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done

# deb-src entries beside the system's deb822 sources file, same mirrors and suites.
source_list=/etc/apt/sources.list.d/qt-deb-src.sources
need_sources=false
if [[ ! -f $sqlite_dir/sqlite3.c ]] && ! apt-get source --print-uris sqlite3 >/dev/null 2>&1; then
  need_sources=true
fi

if $need_sources && [[ ! -f $source_list ]]; then
  system_list=/etc/apt/sources.list.d/debian.sources
  if [[ -f $system_list ]]; then
    echo "windows-deps: adding deb-src entries ($source_list)"
    sed 's/^Types: deb$/Types: deb-src/' "$system_list" >"$source_list"
  else
    echo "windows-deps: adding deb-src entries (/etc/apt/sources.list.d/qt-deb-src.list)"
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      >/etc/apt/sources.list.d/qt-deb-src.list
  fi
fi

if ((${#missing[@]} > 0)) || $need_sources; then
  apt-get update -qq
fi
if ((${#missing[@]} > 0)); then
  echo "windows-deps: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "windows-deps: all packages installed"
fi

if [[ -f $sqlite_dir/sqlite3.c && -f $sqlite_dir/sqlite3.h ]]; then
  echo "windows-deps: $sqlite_dir/sqlite3.c is there"
  exit 0
fi
work=$(mktemp -d /tmp/qt-sqlite-XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "windows-deps: making sqlite3.c from Debian's sqlite3 source package"
(cd "$work" && apt-get source -qq sqlite3 >/dev/null 2>&1)
tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'sqlite3-*' | head -n1)
[[ -n $tree ]] || { echo "windows-deps: apt-get source sqlite3 gave no tree" >&2; exit 1; }
(cd "$tree" && ./configure >/dev/null && make sqlite3.c >/dev/null)
mkdir -p "$sqlite_dir"
cp "$tree/sqlite3.c" "$tree/sqlite3.h" "$sqlite_dir/"
basename "$tree" >"$sqlite_dir/VERSION"
echo "windows-deps: $sqlite_dir/sqlite3.c from $(basename "$tree")"
