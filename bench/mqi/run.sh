#!/bin/sh
# Builds and runs the MQI benchmark: ./bench/mqi/run.sh [folder] [MiB]
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQT_BENCH=ON >/dev/null
cmake --build "$build" --target mqi_bench -j2 >/dev/null
"$build/bench/mqi/mqi_bench" "$@"
