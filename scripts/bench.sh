#!/usr/bin/env bash
# Builds optimised and runs the benchmarks. Figures depend on the machine; compare runs on
# the same one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build-bench -j "$(nproc)" --target engine_bench
build-bench/bench/engine_bench --benchmark_min_time=2 "$@"
