#!/bin/bash
# Cross-builds the Windows programs and tests ported so far into build-windows/ (or $1).
# Needs scripts/windows-deps.sh once; runs it again when SQLite's sqlite3.c is not in the folder.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

[[ -f $build/sqlite/sqlite3.c ]] || "$root/scripts/windows-deps.sh" "$build"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQT_BENCH=OFF "${launcher[@]}"
cmake --build "$build" -j2
