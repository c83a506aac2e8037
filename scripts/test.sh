#!/usr/bin/env bash
# Builds everything twice (plain, then with AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs every test through CTest in both builds; then cross-builds for Windows and runs the
# Windows tests under Wine (docs/windows.md).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

run_build() {  # run_build DIR CMAKE-ARGS...
  local dir=$1; shift
  cmake -S . -B "$dir" -DQT_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
}

echo "== plain build"
run_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build-asan -DCMAKE_BUILD_TYPE=Debug -DQT_SANITIZE=ON
echo "== Windows build, tests under Wine"
scripts/windows-deps.sh
scripts/build-windows.sh
scripts/test-windows.sh --timeout 600
