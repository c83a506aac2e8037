#!/bin/sh
# Builds and runs the qdrop benchmark, with the MQI get benchmark of the same size first so that
# both figures come from the same run: ./bench/qdrop/run.sh [segments] [small files]
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-bench"
segments=${1:-43691}
files=${2:-1000}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQT_BENCH=ON >/dev/null
cmake --build "$build" --target mqi_bench qdrop_bench -j2 >/dev/null
work=$(mktemp -d /tmp/qdrop-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "== MQI get benchmark (bench/mqi), $segments messages"
"$build/bench/mqi/mqi_bench" "$work/mqi" "$segments" | grep -E '^(bulk|get)'
rm -rf "$work/mqi"
echo "== qdrop"
"$build/bench/qdrop/qdrop_bench" "$work/qdrop" "$segments" "$files"
