#!/bin/bash
# Runs the tests of the Windows build (scripts/build-windows.sh) under Wine: a fresh Wine prefix
# in a temporary folder, no display, no Wine debug output. Arguments go to ctest (-R ...).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QT_WINDOWS_BUILD:-$root/build-windows}

WINEPREFIX=$(mktemp -d /tmp/qt-wine-XXXXXX)
export WINEPREFIX
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
wineboot --init >/dev/null 2>&1
wineserver -w

cd "$build"
ctest -j2 --output-on-failure "$@"
